# PNG and JPEG fuzz targets. Each harness is one function (fuzz_input.h); the libFuzzer
# executables wrap it, and fuzz_regressions_test replays every input kept in
# tests/fuzz/regressions/<target>/ through the same functions in the ordinary
# build (and under the sanitizers, label "codec").
set(VELTO_FUZZ_HARNESSES
  ${CMAKE_CURRENT_LIST_DIR}/fuzz_decode_png.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fuzz_chunk_scan.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fuzz_png_road.cpp)
set(VELTO_FUZZ_LIBS velto_png_pipeline velto_png_output velto_png_chunks velto_png_codec velto_engine
  velto_base ZLIB::ZLIB)
# The JPEG roads' target.
list(APPEND VELTO_FUZZ_HARNESSES ${CMAKE_CURRENT_LIST_DIR}/fuzz_jpeg_road.cpp)
list(APPEND VELTO_FUZZ_LIBS velto_jpeg_lossy velto_jpeg_road JPEG::JPEG)
# The animated-PNG road on a file in memory.
list(APPEND VELTO_FUZZ_HARNESSES ${CMAKE_CURRENT_LIST_DIR}/fuzz_apng_road.cpp)
list(APPEND VELTO_FUZZ_LIBS velto_apng PNG::PNG)

velto_add_gtest(fuzz_regressions_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_regressions_test.cpp ${VELTO_FUZZ_HARNESSES}
  LIBS ${VELTO_FUZZ_LIBS}
  LABELS codec)
target_compile_definitions(fuzz_regressions_test PRIVATE VELTO_FUZZ_REPLAY)

# libFuzzer executables (clang only), built into ${CMAKE_BINARY_DIR}/fuzz/ by
# the custom target fuzz_all. The engine libraries they reach are compiled with
# the fuzzer's coverage instrumentation and the sanitizers too.
if(VELTO_FUZZ)
  set(VELTO_FUZZ_SANITIZERS -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  foreach(lib velto_base velto_platform velto_engine velto_png_codec velto_png_encode velto_png_settings
              velto_png_chunks velto_png_search velto_png_output velto_png_pipeline velto_colour_profile
              velto_posterize velto_image_stats velto_transparency velto_resample velto_quantize
              velto_transparent_colour velto_zdeflate velto_mlevel velto_zopfli)
    target_compile_options(${lib} PRIVATE -fsanitize=fuzzer-no-link ${VELTO_FUZZ_SANITIZERS})
  endforeach()
  foreach(lib velto_jpeg_road velto_jpeg_lossy velto_jpeg_pipeline velto_jpeg_exif velto_jpeg_colour
              velto_jpeg_metadata velto_jpeg_lossy_decisions velto_jpeg_encoder velto_jpeg_turbo_ext
              velto_jpeg_scan_search velto_jpeg_memory_dest)
    target_compile_options(${lib} PRIVATE -fsanitize=fuzzer-no-link ${VELTO_FUZZ_SANITIZERS})
  endforeach()
  target_compile_options(velto_apng PRIVATE -fsanitize=fuzzer-no-link ${VELTO_FUZZ_SANITIZERS})

  set(VELTO_FUZZ_TARGETS "")
  foreach(harness ${VELTO_FUZZ_HARNESSES})
    get_filename_component(name ${harness} NAME_WE)
    add_executable(${name} ${harness})
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests)
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer ${VELTO_FUZZ_SANITIZERS})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer ${VELTO_FUZZ_SANITIZERS})
    target_link_libraries(${name} PRIVATE ${VELTO_FUZZ_LIBS})
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
    list(APPEND VELTO_FUZZ_TARGETS ${name})
  endforeach()
  add_custom_target(fuzz_all DEPENDS ${VELTO_FUZZ_TARGETS})
endif()
