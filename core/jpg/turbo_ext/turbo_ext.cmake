# Our layers over libjpeg-turbo: lossless transforms on coefficient arrays, and
# the extended compression parameters with the scan-searching write call.
add_library(velto_jpeg_turbo_ext STATIC
  ${CMAKE_CURRENT_LIST_DIR}/lossless_transform.cpp
  ${CMAKE_CURRENT_LIST_DIR}/compress_params.cpp)
target_include_directories(velto_jpeg_turbo_ext PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(velto_jpeg_turbo_ext PUBLIC JPEG::JPEG velto_jpeg_scan_search)
# The growing memory destination every compressor of the JPEG pipeline writes to.
add_library(velto_jpeg_memory_dest STATIC ${CMAKE_CURRENT_LIST_DIR}/memory_dest.cpp)
target_include_directories(velto_jpeg_memory_dest PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(velto_jpeg_memory_dest PUBLIC JPEG::JPEG)
