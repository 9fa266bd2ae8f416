# Unit tests of the engine driver: options, platform layer, dispatch.
velto_add_gtest(options_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/options_test.cpp
  LIBS velto_engine LABELS core)
velto_add_gtest(platform_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/platform_test.cpp
  LIBS velto_platform Boost::filesystem LABELS core)
# The dispatch is tested against stand-in pipelines instead of the real ones.
velto_add_gtest(dispatch_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/dispatch_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fake_pipelines.cpp
  LIBS velto_engine Boost::filesystem LABELS core)
