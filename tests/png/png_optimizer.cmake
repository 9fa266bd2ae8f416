# Chunk inspection and colour-type plan of the PNG pipeline.
velto_add_gtest(png_optimizer_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/png_optimizer_test.cpp
  LIBS velto_png_chunks velto_png_codec velto_engine ZLIB::ZLIB
  LABELS codec)
