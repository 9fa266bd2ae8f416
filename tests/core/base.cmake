velto_add_gtest(job_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/job_test.cpp LIBS velto_base)
