# quobble-cli run as a process against a quobble-catalogue process.
quobble_test(cli_e2e_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/cli_e2e_test.cpp
  LIBS quobble_test_support SQLite::SQLite3
  LABELS e2e
  ENV "QUOBBLE_CLI_EXE=$<TARGET_FILE:quobble-cli>;QUOBBLE_CATALOGUE_EXE=$<TARGET_FILE:quobble-catalogue>")
add_dependencies(cli_e2e_test quobble-cli quobble-catalogue)
