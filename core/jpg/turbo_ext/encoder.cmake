# Lossy JPEG encoder over libjpeg-turbo's coefficient writer.
add_library(velto_jpeg_encoder STATIC
  ${CMAKE_CURRENT_LIST_DIR}/encoder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/encoder_transform.cpp
  ${CMAKE_CURRENT_LIST_DIR}/encoder_quant.cpp)
target_include_directories(velto_jpeg_encoder PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(velto_jpeg_encoder PUBLIC JPEG::JPEG PRIVATE velto_jpeg_memory_dest)
