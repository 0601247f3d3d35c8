# The desktop app as a process: single instance, exit codes, command line.
if(QUOBBLE_WITH_UI)
  quobble_test(e2e_gui_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/gui_test.cpp
    LIBS quobble_test_support
    LABELS e2e
    ENV "QUOBBLE_APP_EXE=$<TARGET_FILE:quobble>")
  add_dependencies(e2e_gui_test quobble)

  # The app as a screen reader meets it: Xvfb, the accessibility bus and
  # AT-SPI, with Debian's python3 (pyatspi is a Debian package).
  add_test(NAME e2e_gui_a11y_test
    COMMAND dbus-run-session -- /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/gui_a11y_test.py
            $<TARGET_FILE:quobble>)
  set_tests_properties(e2e_gui_a11y_test PROPERTIES LABELS e2e TIMEOUT 180)
endif()
