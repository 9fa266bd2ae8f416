# Palette quantiser: a self-contained library used by the mode decision's
# palette probe and by the palette encoder.
add_library(velto_quantize STATIC ${CMAKE_CURRENT_LIST_DIR}/quantize.cpp)
target_link_libraries(velto_quantize PUBLIC velto_base)
