# Encoder settings decisions and the compressor callbacks they install.
add_library(velto_png_settings STATIC
  ${CMAKE_CURRENT_LIST_DIR}/compressor_callbacks.cpp
  ${CMAKE_CURRENT_LIST_DIR}/encoder_settings.cpp)
target_link_libraries(velto_png_settings PUBLIC velto_png_codec velto_mlevel velto_zopfli velto_base)
