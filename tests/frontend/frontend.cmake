# Tests of the front end: the plain logic with GoogleTest (no display needed),
# the Qt window with Qt Test on the offscreen platform, and screenshots of the
# real window under a virtual X server.
velto_add_gtest(frontend_logic_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/batching_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/file_list_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/option_string_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/panel_rules_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/preview_rules_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/report_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/row_results_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/run_texts_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/settings_file_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/texts_test.cpp
  LIBS velto_frontend_logic Boost::filesystem
  LABELS frontend)

if(VELTO_GUI)
  find_package(Qt6 REQUIRED COMPONENTS Widgets Test)
  # The engine the window tests run in place of `core` (see fake_core.cpp).
  add_executable(fake_core ${CMAKE_CURRENT_LIST_DIR}/fake_core.cpp)
  set_target_properties(fake_core PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_link_libraries(fake_core PRIVATE PNG::PNG)

  # Qt Test programs: CTest runs them like the GoogleTest ones.
  function(velto_add_qt_test name source)
    add_executable(${name} ${source})
    set_target_properties(${name} PROPERTIES AUTOMOC ON RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_FUNCTION_LIST_DIR})
    target_link_libraries(${name} PRIVATE velto_frontend_qt Qt6::Test)
    target_compile_definitions(${name} PRIVATE VELTO_FAKE_CORE="$<TARGET_FILE:fake_core>")
    add_dependencies(${name} fake_core)
  endfunction()

  foreach(test main_window_test engine_run_test preview_test real_engine_test)
    velto_add_qt_test(${test} ${CMAKE_CURRENT_LIST_DIR}/${test}.cpp)
    add_test(NAME ${test} COMMAND ${test})
    set_tests_properties(${test} PROPERTIES LABELS gui TIMEOUT 120
      ENVIRONMENT "QT_QPA_PLATFORM=offscreen;VELTO_CORPUS=${VELTO_CORPUS};VELTO_CORE=$<TARGET_FILE:core>")
  endforeach()
  # The run of the real engine needs it built; without the corpus it reports
  # itself skipped, which CTest shows as such.
  add_dependencies(real_engine_test core)
  set_tests_properties(real_engine_test PROPERTIES SKIP_REGULAR_EXPRESSION "SKIP   : ")

  # Screenshots need an X server: a virtual one through xvfb-run when it is
  # installed; without a display the test reports itself skipped.
  velto_add_qt_test(screenshot_test ${CMAKE_CURRENT_LIST_DIR}/screenshot_test.cpp)
  find_program(VELTO_XVFB_RUN xvfb-run)
  if(VELTO_XVFB_RUN)
    add_test(NAME screenshot_test COMMAND ${VELTO_XVFB_RUN} -a -s "-screen 0 1280x1024x24"
      $<TARGET_FILE:screenshot_test>)
  else()
    add_test(NAME screenshot_test COMMAND screenshot_test)
  endif()
  set_tests_properties(screenshot_test PROPERTIES LABELS gui TIMEOUT 120 SKIP_RETURN_CODE 77
    ENVIRONMENT "QT_QPA_PLATFORM=xcb;VELTO_SCREENSHOT_DIR=${CMAKE_BINARY_DIR}/tests/screenshots")
endif()
