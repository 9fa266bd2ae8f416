# The JPEG pipeline: error trap and limits, inspection, mode decision, the
# colour-space rule, segment filter and lossless transcoding; the lossy road
# and the preview view; and the entry point linked into the engine.
add_library(velto_jpeg_exif STATIC ${CMAKE_CURRENT_LIST_DIR}/jpeg_exif.cpp)
target_link_libraries(velto_jpeg_exif PUBLIC velto_base)

add_library(velto_jpeg_road STATIC
  ${CMAKE_CURRENT_LIST_DIR}/jpeg_error_trap.cpp
  ${CMAKE_CURRENT_LIST_DIR}/jpeg_source.cpp
  ${CMAKE_CURRENT_LIST_DIR}/jpeg_examine.cpp
  ${CMAKE_CURRENT_LIST_DIR}/jpeg_mode.cpp
  ${CMAKE_CURRENT_LIST_DIR}/jpeg_colour_signals.cpp
  ${CMAKE_CURRENT_LIST_DIR}/jpeg_segments.cpp
  ${CMAKE_CURRENT_LIST_DIR}/jpeg_lossless.cpp)
target_link_libraries(velto_jpeg_road PUBLIC velto_base velto_platform velto_jpeg_turbo_ext
  velto_jpeg_memory_dest velto_jpeg_exif JPEG::JPEG)

add_library(velto_jpeg_lossy STATIC
  ${CMAKE_CURRENT_LIST_DIR}/jpeg_pixels.cpp
  ${CMAKE_CURRENT_LIST_DIR}/jpeg_preview.cpp
  ${CMAKE_CURRENT_LIST_DIR}/jpeg_lossy.cpp)
target_link_libraries(velto_jpeg_lossy PUBLIC velto_base velto_platform velto_jpeg_road
  PRIVATE velto_jpeg_colour velto_jpeg_metadata velto_jpeg_lossy_decisions velto_jpeg_encoder
  velto_resample velto_png_output)

add_library(velto_jpeg_pipeline STATIC ${CMAKE_CURRENT_LIST_DIR}/jpeg_optimizer.cpp)
target_link_libraries(velto_jpeg_pipeline PUBLIC velto_base velto_platform PRIVATE velto_jpeg_road velto_jpeg_lossy)
