# Progressive scan search against libjpeg-turbo's own output.
velto_add_gtest(jpeg_scan_search_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/scan_search_test.cpp
  LIBS velto_jpeg_scan_search JPEG::JPEG
  LABELS codec)
