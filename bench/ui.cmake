# Row drawing of the desktop app.
if(TARGET quobble_ui)
  add_executable(ui_bench ${CMAKE_CURRENT_LIST_DIR}/ui_bench.cpp)
  target_link_libraries(ui_bench PRIVATE quobble_ui quobble_test_support benchmark::benchmark)
  target_include_directories(ui_bench PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR})
endif()
