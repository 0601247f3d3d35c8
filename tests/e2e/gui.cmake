# The desktop app as a process: single instance, exit codes, command line.
if(QUOBBLE_WITH_UI)
  quobble_test(e2e_gui_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/gui_test.cpp
    LIBS quobble_test_support
    LABELS e2e
    ENV "QUOBBLE_APP_EXE=$<TARGET_FILE:quobble>")
  add_dependencies(e2e_gui_test quobble)
endif()
