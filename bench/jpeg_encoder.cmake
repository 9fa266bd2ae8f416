# Lossy JPEG encoder benchmark harness (not a test; run bench/jpeg_encoder.sh).
add_executable(bench_jpeg_encoder ${CMAKE_CURRENT_LIST_DIR}/jpeg_encoder_bench.cpp)
target_link_libraries(bench_jpeg_encoder PRIVATE velto_jpeg_lossy_decisions velto_jpeg_encoder JPEG::JPEG)
