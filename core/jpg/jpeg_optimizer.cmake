# JPEG pipeline entry point, linked into the engine executable.
add_library(velto_jpeg_pipeline STATIC ${CMAKE_CURRENT_LIST_DIR}/jpeg_optimizer.cpp)
target_link_libraries(velto_jpeg_pipeline PUBLIC velto_base velto_platform)
