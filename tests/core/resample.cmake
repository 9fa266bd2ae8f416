velto_add_gtest(resample_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/resample_test.cpp
                LIBS velto_resample LABELS codec)
