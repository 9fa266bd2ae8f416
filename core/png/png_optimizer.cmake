# Chunk inspection and the colour-type plan of the PNG pipeline.
add_library(velto_png_chunks STATIC ${CMAKE_CURRENT_LIST_DIR}/chunk_scan.cpp)
target_link_libraries(velto_png_chunks PUBLIC velto_png_codec velto_png_settings velto_image_stats velto_base)

# PNG pipeline entry point, linked into the engine executable: the driver over
# the analysis chain, the three roads and the output stage. OpenMP provides the
# process-wide critical section of the animated road.
add_library(velto_png_pipeline STATIC ${CMAKE_CURRENT_LIST_DIR}/png_optimizer.cpp)
target_link_libraries(velto_png_pipeline PUBLIC velto_base velto_platform
  PRIVATE velto_apng velto_png_chunks velto_png_search velto_png_output velto_colour_profile velto_posterize
          velto_png_settings velto_png_codec velto_image_stats velto_transparency velto_resample
          OpenMP::OpenMP_CXX)
