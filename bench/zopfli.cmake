# Benchmark harness of the Zopfli-style compressor; run by bench/zopfli.sh, not by CTest.
add_executable(bench_zopfli ${CMAKE_CURRENT_LIST_DIR}/zopfli_bench.cpp)
target_link_libraries(bench_zopfli PRIVATE velto_zopfli ZLIB::ZLIB)
