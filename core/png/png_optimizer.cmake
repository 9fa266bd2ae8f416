# PNG pipeline entry point, linked into the engine executable.
add_library(velto_png_pipeline STATIC ${CMAKE_CURRENT_LIST_DIR}/png_optimizer.cpp)
target_link_libraries(velto_png_pipeline PUBLIC velto_base velto_platform)
