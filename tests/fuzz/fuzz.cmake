# libFuzzer targets (clang only), built into ${CMAKE_BINARY_DIR}/fuzz/ by the
# custom target fuzz_all. The code under test is compiled into each target so
# that it carries the fuzzer's coverage instrumentation.
if(VELTO_FUZZ)
  set(VELTO_FUZZ_FLAGS -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)

  add_executable(fuzz_decode_png
    ${CMAKE_CURRENT_LIST_DIR}/fuzz_decode_png.cpp
    ${CMAKE_SOURCE_DIR}/core/png/codec/codec_state.cpp
    ${CMAKE_SOURCE_DIR}/core/png/codec/colour_convert.cpp
    ${CMAKE_SOURCE_DIR}/core/png/codec/decode.cpp)
  target_compile_options(fuzz_decode_png PRIVATE ${VELTO_FUZZ_FLAGS})
  target_link_options(fuzz_decode_png PRIVATE ${VELTO_FUZZ_FLAGS})
  target_link_libraries(fuzz_decode_png PRIVATE velto_base velto_platform ZLIB::ZLIB)
  set_target_properties(fuzz_decode_png PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)

  add_custom_target(fuzz_all DEPENDS fuzz_decode_png)
endif()
