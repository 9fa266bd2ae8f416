# Metadata gathering for the lossy JPEG road (MD5 from libmd for extended XMP).
add_library(velto_jpeg_metadata STATIC ${CMAKE_CURRENT_LIST_DIR}/jpeg_metadata.cpp)
target_link_libraries(velto_jpeg_metadata PUBLIC velto_base velto_jpeg_encoder JPEG::JPEG
  PRIVATE velto_jpeg_colour velto_jpeg_exif PkgConfig::LIBMD)
