# The install tree and the Debian package (tests/package/package_test.sh).
# Only in a plain build: a sanitizer build is never installed.
if(NOT QUOBBLE_SANITIZE)
  add_test(NAME package
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/package_test.sh ${PROJECT_BINARY_DIR}
            ${PROJECT_VERSION} $<IF:$<BOOL:${QUOBBLE_WITH_UI}>,ON,OFF>)
  set_tests_properties(package PROPERTIES LABELS package TIMEOUT 300)
endif()
# The programs of a hardened build (cmake/hardening.cmake), as built.
if(QUOBBLE_HARDENED)
  add_test(NAME hardening
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/hardening_test.sh
            $<TARGET_FILE:quobble-cli> $<TARGET_FILE:quobble-catalogue>
            $<$<BOOL:${QUOBBLE_WITH_UI}>:$<TARGET_FILE:quobble>>)
  set_tests_properties(hardening PROPERTIES LABELS package)
endif()

if(QUOBBLE_WITH_UI)
  quobble_test(package_icon_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/icon_test.cpp
    LIBS quobble_ui_test_env quobble_ui ENV "QUOBBLE_ICON_DIR=${PROJECT_BINARY_DIR}/packaging/icons")
  add_dependencies(package_icon_test quobble_icons)
endif()
