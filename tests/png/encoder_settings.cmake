velto_add_gtest(png_encoder_settings_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/encoder_settings_test.cpp
  LIBS velto_png_settings velto_png_encode
  LABELS codec)
velto_add_gtest(png_compressor_callbacks_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/compressor_callbacks_test.cpp
  LIBS velto_png_settings ZLIB::ZLIB
  LABELS codec)
