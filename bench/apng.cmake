# Composed-frame identity checker of the APNG benchmark (bench/apng.sh); not run by CTest.
add_executable(bench_apng_identity ${CMAKE_CURRENT_LIST_DIR}/apng_identity.cpp)
target_link_libraries(bench_apng_identity PRIVATE velto_apng PNG::PNG)
