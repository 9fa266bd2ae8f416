velto_add_gtest(jpeg_lossy_decisions_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/jpeg_lossy_decisions_test.cpp
  LIBS velto_jpeg_lossy_decisions
  LABELS codec)
