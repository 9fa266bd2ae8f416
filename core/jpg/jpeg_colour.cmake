# ICC profile of a JPEG file and its conversion to sRGB with LittleCMS.
add_library(velto_jpeg_colour STATIC ${CMAKE_CURRENT_LIST_DIR}/jpeg_colour.cpp)
target_link_libraries(velto_jpeg_colour PUBLIC velto_base JPEG::JPEG PRIVATE velto_colour_profile PkgConfig::LCMS2)
