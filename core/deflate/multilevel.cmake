# Multi-level compressor: levels 0-13, 77, 80, 88, 89 producing raw DEFLATE
# and zlib streams, with its own Adler-32.
add_library(velto_mlevel STATIC
  ${CMAKE_CURRENT_LIST_DIR}/multilevel_adler32.cpp
  ${CMAKE_CURRENT_LIST_DIR}/multilevel_block.cpp
  ${CMAKE_CURRENT_LIST_DIR}/multilevel_chain.cpp
  ${CMAKE_CURRENT_LIST_DIR}/multilevel_encoder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/multilevel_tree.cpp)
target_link_libraries(velto_mlevel PUBLIC velto_base)
