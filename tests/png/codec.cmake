velto_add_gtest(png_codec_state_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/codec_state_test.cpp
  LIBS velto_png_codec
  LABELS codec)
velto_add_gtest(png_colour_convert_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/colour_convert_test.cpp
  LIBS velto_png_codec
  LABELS codec)
velto_add_gtest(png_decode_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/decode_test.cpp
  LIBS velto_png_codec PNG::PNG ZLIB::ZLIB
  LABELS codec)
