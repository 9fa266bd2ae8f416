# The engine on inputs that change under it and on paths it cannot reach. A
# preloaded library changes the input at a fixed point of the run.
add_library(velto_swap_shim SHARED ${CMAKE_CURRENT_LIST_DIR}/swap_shim.cpp)
target_link_libraries(velto_swap_shim PRIVATE ${CMAKE_DL_LIBS})
velto_add_gtest(replace_e2e_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/replace_e2e_test.cpp
  LIBS Boost::filesystem ZLIB::ZLIB JPEG::JPEG LABELS e2e)
add_dependencies(replace_e2e_test core velto_swap_shim)
set_property(TEST replace_e2e_test APPEND PROPERTY ENVIRONMENT "VELTO_SWAP_SHIM=$<TARGET_FILE:velto_swap_shim>")
