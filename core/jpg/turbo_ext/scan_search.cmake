# Progressive scan script search over a compressor's coefficients, and the
# scan-size measurement it rests on.
add_library(velto_jpeg_scan_search STATIC
  ${CMAKE_CURRENT_LIST_DIR}/scan_measure.cpp
  ${CMAKE_CURRENT_LIST_DIR}/scan_search.cpp)
target_include_directories(velto_jpeg_scan_search PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(velto_jpeg_scan_search PUBLIC JPEG::JPEG)
