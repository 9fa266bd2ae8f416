velto_add_gtest(quantize_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/quantize_test.cpp LIBS velto_quantize LABELS codec)
