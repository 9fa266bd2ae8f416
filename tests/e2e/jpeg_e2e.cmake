# End-to-end runs of the engine binary on JPEG files, checked with libjpeg.
velto_add_gtest(jpeg_e2e_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/jpeg_e2e_test.cpp
  LIBS JPEG::JPEG Boost::filesystem LABELS e2e)
add_dependencies(jpeg_e2e_test core)
