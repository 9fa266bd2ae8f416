# The front end's plain logic (settings file, panel rules, option string,
# texts, report, file list): no GUI dependency, so its tests run without a display.
add_library(velto_frontend_logic STATIC
  ${CMAKE_CURRENT_LIST_DIR}/atomic_file_write.cpp
  ${CMAKE_CURRENT_LIST_DIR}/engine_location.cpp
  ${CMAKE_CURRENT_LIST_DIR}/extension_filter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/file_list.cpp
  ${CMAKE_CURRENT_LIST_DIR}/folder_walk.cpp
  ${CMAKE_CURRENT_LIST_DIR}/option_string.cpp
  ${CMAKE_CURRENT_LIST_DIR}/panel_rules.cpp
  ${CMAKE_CURRENT_LIST_DIR}/profile_file.cpp
  ${CMAKE_CURRENT_LIST_DIR}/report.cpp
  ${CMAKE_CURRENT_LIST_DIR}/settings_file.cpp
  ${CMAKE_CURRENT_LIST_DIR}/size_text.cpp
  ${CMAKE_CURRENT_LIST_DIR}/status_text.cpp)
target_link_libraries(velto_frontend_logic PUBLIC velto_platform)

