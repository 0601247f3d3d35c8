# Row drawing of the desktop app.
if(QUOBBLE_WITH_UI)
  add_executable(ui_bench ${CMAKE_CURRENT_LIST_DIR}/ui_bench.cpp)
  target_link_libraries(ui_bench PRIVATE quobble_ui quobble_test_support benchmark::benchmark)
endif()
