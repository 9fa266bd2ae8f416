# The package set-up script, run with stand-ins for the package tools (nothing
# is installed) while the test holds their locks.
add_test(NAME install_deps_test
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/install_deps_test.sh ${CMAKE_SOURCE_DIR}/scripts/install-deps.sh)
set_tests_properties(install_deps_test PROPERTIES LABELS scripts TIMEOUT 120)

# The count of skipped cases that ends test.sh, from a real ctest run of
# stand-in programs.
add_test(NAME skip_summary_test
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/skip_summary_test.sh ${CMAKE_SOURCE_DIR}/scripts/skip-summary.sh)
set_tests_properties(skip_summary_test PROPERTIES LABELS scripts TIMEOUT 120)
