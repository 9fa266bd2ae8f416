# Exact output sizes of the multi-level and Zopfli-style compressors.
velto_add_gtest(compressor_sizes_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/compressor_sizes_test.cpp
  LIBS velto_zopfli velto_mlevel ZLIB::ZLIB)
