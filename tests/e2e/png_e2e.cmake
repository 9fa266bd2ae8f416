# End-to-end runs of the engine binary on PNG files, checked with libpng.
velto_add_gtest(png_e2e_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/png_e2e_test.cpp
  LIBS PNG::PNG ZLIB::ZLIB Boost::filesystem LABELS e2e)
add_dependencies(png_e2e_test core)
