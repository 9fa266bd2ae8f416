# Image statistics, grey and alpha scans, colour counting and the PNG mode decision.
add_library(velto_image_stats STATIC ${CMAKE_CURRENT_LIST_DIR}/image_stats.cpp)
target_link_libraries(velto_image_stats PUBLIC velto_base velto_quantize)
