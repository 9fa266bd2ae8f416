velto_add_gtest(multilevel_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/multilevel_block_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/multilevel_interface_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/multilevel_roundtrip_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/multilevel_adler32_test.cpp
  LIBS velto_mlevel ZLIB::ZLIB
  LABELS codec)
