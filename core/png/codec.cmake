# The engine's own PNG codec: state, colour modes and chunks, colour conversion
# and the decoder. The encoder side adds its sources through its own fragment.
add_library(velto_png_codec STATIC
  ${CMAKE_CURRENT_LIST_DIR}/codec_state.cpp)
target_link_libraries(velto_png_codec PUBLIC velto_base ZLIB::ZLIB)
