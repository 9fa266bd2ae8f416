# Changed zlib deflate (namespace zdeflate): streams, block coder, window and parsers.
# Links the packaged zlib for Adler-32 and the z_stream record only.
add_library(velto_zdeflate STATIC
  ${CMAKE_CURRENT_LIST_DIR}/zlib_deflate.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zlib_parsers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zlib_trees.cpp)
target_link_libraries(velto_zdeflate PUBLIC velto_base ZLIB::ZLIB)
