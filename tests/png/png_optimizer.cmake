# Chunk inspection, colour-type plan and the driver's handling of animations
# and previews.
velto_add_gtest(png_optimizer_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/png_optimizer_test.cpp
  LIBS velto_png_pipeline velto_png_chunks velto_png_codec velto_engine Boost::filesystem ZLIB::ZLIB
  LABELS codec)
