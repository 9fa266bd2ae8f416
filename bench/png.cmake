# Pixel identity checker of the PNG benchmark (bench/png.sh); not run by CTest.
add_executable(bench_png_identity ${CMAKE_CURRENT_LIST_DIR}/png_identity.cpp)
target_link_libraries(bench_png_identity PRIVATE PNG::PNG)
