# Benchmark of the multi-level compressor against zlib and libdeflate (not a
# test; run bench/multilevel.sh). libdeflate is linked here only.
find_library(VELTO_LIBDEFLATE deflate)
if(VELTO_LIBDEFLATE)
  add_executable(bench_multilevel ${CMAKE_CURRENT_LIST_DIR}/multilevel_bench.cpp)
  target_link_libraries(bench_multilevel PRIVATE velto_mlevel ${VELTO_LIBDEFLATE} ZLIB::ZLIB)
endif()
