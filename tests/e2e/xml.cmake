# quobble-xmldump run as a separate process on files written by the test.
quobble_test(xml_dump_e2e_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/xml_dump_e2e_test.cpp
  LIBS quobble_test_support
  ENV "QUOBBLE_XMLDUMP_EXE=$<TARGET_FILE:quobble-xmldump>")
add_dependencies(xml_dump_e2e_test quobble-xmldump)
