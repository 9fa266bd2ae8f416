# Resampler benchmark (not a test; run bench/resample.sh).
add_executable(bench_resample ${CMAKE_CURRENT_LIST_DIR}/resample_bench.cpp)
target_link_libraries(bench_resample PRIVATE velto_resample)
