velto_add_gtest(png_lossless_search_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/lossless_search_test.cpp
  LIBS velto_png_search velto_image_stats velto_engine PNG::PNG
  LABELS codec)
velto_add_gtest(png_fast_and_lossy_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fast_and_lossy_test.cpp
  LIBS velto_png_search velto_image_stats velto_engine PNG::PNG
  LABELS codec)
