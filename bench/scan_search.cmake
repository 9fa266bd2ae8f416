# Progressive scan search benchmark harness (not a test; run bench/scan_search.sh).
add_executable(bench_scan_search ${CMAKE_CURRENT_LIST_DIR}/scan_search_bench.cpp)
target_link_libraries(bench_scan_search PRIVATE velto_jpeg_scan_search)
