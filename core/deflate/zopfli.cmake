# Zopfli-style optimal DEFLATE compressor.
add_library(velto_zopfli STATIC
  ${CMAKE_CURRENT_LIST_DIR}/zopfli_lz77.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zopfli_tree.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zopfli_squeeze.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zopfli_split.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zopfli_writer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zopfli_deflate.cpp)
target_link_libraries(velto_zopfli PUBLIC velto_base Threads::Threads)
