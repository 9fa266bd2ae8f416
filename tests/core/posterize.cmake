velto_add_gtest(posterize_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/posterize_test.cpp
  LIBS velto_posterize velto_png_codec ZLIB::ZLIB
  LABELS codec)
