velto_add_gtest(jpeg_metadata_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/jpeg_metadata_test.cpp
  LIBS velto_jpeg_metadata PkgConfig::LIBMD
  LABELS codec)
