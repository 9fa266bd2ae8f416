velto_add_gtest(jpeg_colour_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/jpeg_colour_test.cpp
  LIBS velto_jpeg_colour PkgConfig::LCMS2
  LABELS codec)
