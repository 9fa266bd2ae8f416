# Black-box tests of the engine binary `core`.
velto_add_gtest(engine_e2e_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/engine_e2e_test.cpp
  LIBS PNG::PNG JPEG::JPEG Boost::filesystem LABELS e2e)
add_dependencies(engine_e2e_test core)
