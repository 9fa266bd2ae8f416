# Posterising and the other lossy preparations of the PNG and APNG roads.
add_library(velto_posterize STATIC ${CMAKE_CURRENT_LIST_DIR}/posterize.cpp)
target_link_libraries(velto_posterize PUBLIC velto_base
  PRIVATE velto_transparency velto_transparent_colour velto_image_stats velto_resample velto_quantize
          velto_png_encode velto_png_settings)
