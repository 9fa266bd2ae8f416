# The front end. Its plain logic (settings file, panel rules, option string,
# texts, report, file list, batching, run rows and texts, preview rules) has
# no GUI dependency and is always built, so its
# tests run without a display; the Qt window and the program `velto` (written
# into the build folder beside `core`) only with VELTO_GUI.
add_library(velto_frontend_logic STATIC
  ${CMAKE_CURRENT_LIST_DIR}/batching.cpp
  ${CMAKE_CURRENT_LIST_DIR}/engine_location.cpp
  ${CMAKE_CURRENT_LIST_DIR}/extension_filter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/file_list.cpp
  ${CMAKE_CURRENT_LIST_DIR}/folder_walk.cpp
  ${CMAKE_CURRENT_LIST_DIR}/option_string.cpp
  ${CMAKE_CURRENT_LIST_DIR}/panel_rules.cpp
  ${CMAKE_CURRENT_LIST_DIR}/preview_rules.cpp
  ${CMAKE_CURRENT_LIST_DIR}/profile_file.cpp
  ${CMAKE_CURRENT_LIST_DIR}/report.cpp
  ${CMAKE_CURRENT_LIST_DIR}/row_results.cpp
  ${CMAKE_CURRENT_LIST_DIR}/run_texts.cpp
  ${CMAKE_CURRENT_LIST_DIR}/settings_file.cpp
  ${CMAKE_CURRENT_LIST_DIR}/size_text.cpp
  ${CMAKE_CURRENT_LIST_DIR}/status_text.cpp)
target_link_libraries(velto_frontend_logic PUBLIC velto_platform)

if(VELTO_GUI)
  find_package(Qt6 REQUIRED COMPONENTS Widgets)
  add_library(velto_frontend_qt STATIC
    ${CMAKE_CURRENT_LIST_DIR}/engine_runner.cpp
    ${CMAKE_CURRENT_LIST_DIR}/file_urls.cpp
    ${CMAKE_CURRENT_LIST_DIR}/form_widgets.cpp
    ${CMAKE_CURRENT_LIST_DIR}/main_preview.cpp
    ${CMAKE_CURRENT_LIST_DIR}/main_runs.cpp
    ${CMAKE_CURRENT_LIST_DIR}/main_window.cpp
    ${CMAKE_CURRENT_LIST_DIR}/main_window.h
    ${CMAKE_CURRENT_LIST_DIR}/preview_window.cpp
    ${CMAKE_CURRENT_LIST_DIR}/preview_window.h
    ${CMAKE_CURRENT_LIST_DIR}/settings_panel.cpp)
  set_target_properties(velto_frontend_qt PROPERTIES AUTOMOC ON)
  target_link_libraries(velto_frontend_qt PUBLIC velto_frontend_logic Qt6::Widgets)

  add_executable(velto ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
  set_target_properties(velto PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  target_link_libraries(velto PRIVATE velto_frontend_qt)
endif()
