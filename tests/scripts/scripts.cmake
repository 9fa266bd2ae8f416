# The package set-up script, run with stand-ins for the package tools (nothing
# is installed) while the test holds their locks.
add_test(NAME install_deps_test
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/install_deps_test.sh ${CMAKE_SOURCE_DIR}/scripts/install-deps.sh)
set_tests_properties(install_deps_test PROPERTIES LABELS scripts TIMEOUT 120)
