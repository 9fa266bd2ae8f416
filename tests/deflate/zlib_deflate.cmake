# Tests of the changed zlib deflate (velto_zdeflate). Labelled codec so the
# sanitizer build runs them too.
velto_add_gtest(zlib_deflate_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zlib_stream_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/zlib_trees_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/zlib_measure_test.cpp
  LIBS velto_zdeflate ZLIB::ZLIB
  LABELS codec)
velto_add_gtest(zlib_roundtrip_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zlib_roundtrip_test.cpp
  LIBS velto_zdeflate ZLIB::ZLIB
  LABELS codec)
velto_add_gtest(zlib_oracle_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zlib_oracle_test.cpp
  LIBS velto_zdeflate ZLIB::ZLIB
  LABELS codec)
velto_add_gtest(zlib_symbols_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zlib_symbols_test.cpp
  LIBS velto_zdeflate ZLIB::ZLIB
  LABELS codec)
target_compile_definitions(zlib_symbols_test PRIVATE VELTO_ZDEFLATE_ARCHIVE="$<TARGET_FILE:velto_zdeflate>")
