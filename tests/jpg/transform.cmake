# The lossless-transform layer, checked against jpegtran.
velto_add_gtest(transform_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/transform_test.cpp
  LIBS velto_jpeg_turbo_ext Boost::filesystem LABELS codec)
