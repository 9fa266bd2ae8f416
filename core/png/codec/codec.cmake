# The engine's own PNG codec: state, colour modes and chunks, colour conversion
# and the decoder. The encoder side adds its sources through its own fragment.
set(VELTO_PNG_CODEC_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/codec_state.cpp
  ${CMAKE_CURRENT_LIST_DIR}/colour_convert.cpp
  ${CMAKE_CURRENT_LIST_DIR}/decode.cpp)
add_library(velto_png_codec STATIC ${VELTO_PNG_CODEC_SOURCES})
target_link_libraries(velto_png_codec PUBLIC velto_base ZLIB::ZLIB PRIVATE velto_platform)
