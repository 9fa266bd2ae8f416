# Benchmark of the changed zlib deflate against the packaged zlib (not a test;
# run bench/zlib.sh).
add_executable(bench_zlib ${CMAKE_CURRENT_LIST_DIR}/zlib_bench.cpp)
target_link_libraries(bench_zlib PRIVATE velto_zdeflate ZLIB::ZLIB)
