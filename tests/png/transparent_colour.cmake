velto_add_gtest(png_transparent_colour_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/transparent_colour_test.cpp
  LIBS velto_transparent_colour velto_png_codec
  LABELS codec)
