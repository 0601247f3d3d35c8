# quobble-catalogue run as a process of its own: start on a free port, answer,
# stop on a signal.
quobble_test(catalogue_process_e2e_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/catalogue_process_e2e_test.cpp
  LIBS quobble_test_support
  LABELS e2e
  ENV "QUOBBLE_CATALOGUE_EXE=$<TARGET_FILE:quobble-catalogue>")
add_dependencies(catalogue_process_e2e_test quobble-catalogue)
