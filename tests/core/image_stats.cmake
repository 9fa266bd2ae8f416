velto_add_gtest(image_stats_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/image_stats_test.cpp LIBS velto_image_stats LABELS codec)
