# The JPEG road: inspection and mode decision, lossless transcoding with its
# segment filter, and the driver's outcomes.
velto_add_gtest(jpeg_examine_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/jpeg_examine_test.cpp
  LIBS velto_jpeg_road velto_engine LABELS codec)
velto_add_gtest(jpeg_lossless_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/jpeg_lossless_test.cpp
  LIBS velto_jpeg_pipeline velto_jpeg_road velto_engine Boost::filesystem LABELS codec)
velto_add_gtest(jpeg_optimizer_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/jpeg_optimizer_test.cpp
  LIBS velto_jpeg_pipeline velto_jpeg_road velto_engine Boost::filesystem LABELS codec)
# The lossy road and the JPEG views through the pipeline's entry.
velto_add_gtest(jpeg_lossy_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/jpeg_lossy_test.cpp
  LIBS velto_jpeg_pipeline velto_engine PNG::PNG Boost::filesystem LABELS codec)
