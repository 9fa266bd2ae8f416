# The lossless search and the fast, lossy and palette roads of the PNG
# pipeline, with their OpenMP trial sections.
add_library(velto_png_search STATIC
  ${CMAKE_CURRENT_LIST_DIR}/lossless_search.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fast_and_lossy.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trial_encode.cpp)
target_link_libraries(velto_png_search PUBLIC
  velto_png_settings velto_transparent_colour velto_png_encode velto_png_codec
  velto_posterize velto_transparency velto_base OpenMP::OpenMP_CXX)
