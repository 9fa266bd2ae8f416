# The animated-PNG road: frame reader and strip (libpng, kept apart from the
# codec headers because both declare png_info), frame-set steps, writer, and
# the pipeline over the PNG analysis and encoder.
add_library(velto_apng STATIC
  ${CMAKE_CURRENT_LIST_DIR}/apng_frame.cpp
  ${CMAKE_CURRENT_LIST_DIR}/apng_reader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/apng_strip.cpp
  ${CMAKE_CURRENT_LIST_DIR}/apng_frame_set.cpp
  ${CMAKE_CURRENT_LIST_DIR}/apng_writer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/apng_pipeline.cpp)
target_link_libraries(velto_apng
  PUBLIC velto_base
  PRIVATE velto_png_chunks velto_png_settings velto_png_encode velto_png_codec velto_colour_profile
          velto_posterize velto_image_stats velto_transparency velto_resample velto_platform
          velto_zdeflate velto_mlevel velto_zopfli PNG::PNG ZLIB::ZLIB)
