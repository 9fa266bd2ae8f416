velto_add_gtest(jpeg_encoder_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/jpeg_encoder_test.cpp
  LIBS velto_jpeg_encoder JPEG::JPEG
  LABELS codec)
