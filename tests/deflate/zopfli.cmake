velto_add_gtest(zopfli_lz77_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zopfli_lz77_test.cpp
  LIBS velto_zopfli ZLIB::ZLIB
  LABELS codec)
velto_add_gtest(zopfli_tree_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zopfli_tree_test.cpp
  LIBS velto_zopfli
  LABELS codec)
velto_add_gtest(zopfli_deflate_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zopfli_deflate_test.cpp
  LIBS velto_zopfli ZLIB::ZLIB
  LABELS codec)
velto_add_gtest(zopfli_parse_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zopfli_parse_test.cpp
  LIBS velto_zopfli ZLIB::ZLIB
  LABELS codec)
