velto_add_gtest(palette_order_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/palette_order_test.cpp
  LIBS velto_png_encode LABELS codec)
velto_add_gtest(filters_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/filters_test.cpp
  LIBS velto_png_encode ZLIB::ZLIB LABELS codec)
velto_add_gtest(encode_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/encode_test.cpp
  LIBS velto_png_encode PNG::PNG ZLIB::ZLIB LABELS codec)
