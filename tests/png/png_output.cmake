velto_add_gtest(png_output_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/png_output_test.cpp
  LIBS velto_png_output velto_png_encode Boost::filesystem ZLIB::ZLIB
  LABELS codec)
