velto_add_gtest(png_colour_profile_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/colour_profile_test.cpp
  LIBS velto_colour_profile velto_png_encode PkgConfig::LCMS2 Boost::filesystem ZLIB::ZLIB
  LABELS codec)
