velto_add_gtest(transparency_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/transparency_test.cpp
                LIBS velto_transparency LABELS codec)
