# Tests of the front end: the plain logic with GoogleTest (no display needed),
# the Qt window with Qt Test on the offscreen platform, and screenshots of the
# real window under a virtual X server.
velto_add_gtest(frontend_logic_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/atomic_file_write_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/file_list_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/option_string_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/panel_rules_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/report_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/settings_file_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/texts_test.cpp
  LIBS velto_frontend_logic Boost::filesystem
  LABELS frontend)
