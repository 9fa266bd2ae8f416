velto_add_gtest(png_codec_state_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/codec_state_test.cpp
  LIBS velto_png_codec
  LABELS codec)
