# The engine driver: platform layer, options and dispatch, and the executable
# `core` (written directly into the build folder).
add_library(velto_platform STATIC ${CMAKE_CURRENT_LIST_DIR}/platform.cpp
  ${CMAKE_CURRENT_LIST_DIR}/platform_input.cpp ${CMAKE_CURRENT_LIST_DIR}/platform_temp.cpp)
target_link_libraries(velto_platform PUBLIC velto_base Boost::filesystem Threads::Threads)

# The dispatch calls optimize_png_file and optimize_jpeg_file; their libraries
# are linked by the executable (tests link their own stand-ins instead).
add_library(velto_engine STATIC
  ${CMAKE_CURRENT_LIST_DIR}/options.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dispatch.cpp)
target_link_libraries(velto_engine PUBLIC velto_base velto_platform Boost::filesystem Threads::Threads)

add_executable(core ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
set_target_properties(core PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_link_libraries(core PRIVATE velto_engine velto_png_pipeline velto_jpeg_pipeline
  velto_platform velto_base Boost::filesystem Threads::Threads)
