# Quantiser benchmark (not a test): bench/quantize.sh runs it beside pngquant.
add_executable(bench_quantize ${CMAKE_CURRENT_LIST_DIR}/quantize_bench.cpp)
target_link_libraries(bench_quantize PRIVATE velto_quantize PNG::PNG JPEG::JPEG)
