# Colours for fully transparent pixels: an unused colour for colour-key output,
# and the encoder round trip that applies its transparent-pixel cleaning.
add_library(velto_transparent_colour STATIC ${CMAKE_CURRENT_LIST_DIR}/transparent_colour.cpp)
target_link_libraries(velto_transparent_colour PUBLIC velto_base velto_png_encode velto_transparency)
