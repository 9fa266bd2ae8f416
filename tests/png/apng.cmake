# The animated-PNG road: reader, frame-set steps, writer and the pipeline
# (round trips checked with our reader and with apngdis, and the corpus).
velto_add_gtest(apng_reader_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/apng_reader_test.cpp
  LIBS velto_apng PNG::PNG ZLIB::ZLIB
  LABELS codec)
