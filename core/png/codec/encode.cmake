# The encoder side of the PNG codec: row filter strategies, palette ordering
# and the PNG writer.
add_library(velto_png_encode STATIC
  ${CMAKE_CURRENT_LIST_DIR}/encode.cpp
  ${CMAKE_CURRENT_LIST_DIR}/filters.cpp
  ${CMAKE_CURRENT_LIST_DIR}/filters_deflate.cpp
  ${CMAKE_CURRENT_LIST_DIR}/palette_order.cpp)
target_link_libraries(velto_png_encode PUBLIC velto_png_codec velto_zdeflate ZLIB::ZLIB)
