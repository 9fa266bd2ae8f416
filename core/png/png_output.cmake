# Output building: kept chunks, replace-when-smaller and the preview files.
add_library(velto_png_output STATIC ${CMAKE_CURRENT_LIST_DIR}/png_output.cpp)
target_link_libraries(velto_png_output PUBLIC velto_base velto_png_encode velto_resample velto_platform)
