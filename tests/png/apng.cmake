# The animated-PNG road: reader, frame-set steps, writer and the pipeline
# (round trips checked with our reader and with apngdis, the corpus, and the
# frame limit, which like the corpus runs in the release suite only).
velto_add_gtest(apng_reader_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/apng_reader_test.cpp
  LIBS velto_apng PNG::PNG ZLIB::ZLIB
  LABELS codec)
velto_add_gtest(apng_frame_set_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/apng_frame_set_test.cpp
  LIBS velto_apng ZLIB::ZLIB
  LABELS codec)
velto_add_gtest(apng_writer_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/apng_writer_test.cpp
  LIBS velto_apng ZLIB::ZLIB
  LABELS codec)
velto_add_gtest(apng_pipeline_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/apng_pipeline_test.cpp
  LIBS velto_png_pipeline velto_apng velto_colour_profile velto_engine PNG::PNG ZLIB::ZLIB Boost::filesystem
       PkgConfig::LCMS2
  LABELS codec)
velto_add_gtest(apng_corpus_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/apng_corpus_test.cpp
  LIBS velto_png_pipeline velto_apng velto_engine PNG::PNG ZLIB::ZLIB Boost::filesystem)
velto_add_gtest(apng_limits_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/apng_limits_test.cpp
  LIBS velto_png_pipeline velto_apng velto_engine PNG::PNG ZLIB::ZLIB Boost::filesystem)
