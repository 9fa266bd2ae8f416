# Conversion of an embedded ICC profile to sRGB with libpng and LittleCMS.
add_library(velto_colour_profile STATIC ${CMAKE_CURRENT_LIST_DIR}/colour_profile.cpp)
target_link_libraries(velto_colour_profile PUBLIC velto_base PRIVATE velto_platform PNG::PNG PkgConfig::LCMS2)
