# The JPEG pipeline: error trap and limits, inspection, mode decision, segment
# filter and lossless transcoding, and the entry point linked into the engine.
add_library(velto_jpeg_exif STATIC ${CMAKE_CURRENT_LIST_DIR}/jpeg_exif.cpp)
target_link_libraries(velto_jpeg_exif PUBLIC velto_base)

add_library(velto_jpeg_road STATIC
  ${CMAKE_CURRENT_LIST_DIR}/jpeg_error_trap.cpp
  ${CMAKE_CURRENT_LIST_DIR}/jpeg_inspect.cpp
  ${CMAKE_CURRENT_LIST_DIR}/jpeg_mode.cpp
  ${CMAKE_CURRENT_LIST_DIR}/jpeg_segments.cpp
  ${CMAKE_CURRENT_LIST_DIR}/jpeg_lossless.cpp)
target_link_libraries(velto_jpeg_road PUBLIC velto_base velto_platform velto_jpeg_turbo_ext
  velto_jpeg_memory_dest velto_jpeg_exif JPEG::JPEG)

add_library(velto_jpeg_pipeline STATIC ${CMAKE_CURRENT_LIST_DIR}/jpeg_optimizer.cpp)
target_link_libraries(velto_jpeg_pipeline PUBLIC velto_base velto_platform PRIVATE velto_jpeg_road)
