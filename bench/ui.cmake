# The desktop app: memory of a page of thumbnails, Enter to the first painted
# row, the UI thread's longest busy stretch during a search, the row drawing.
if(QUOBBLE_WITH_UI)
  add_executable(ui_bench ${CMAKE_CURRENT_LIST_DIR}/ui_bench.cpp)
  target_link_libraries(ui_bench PRIVATE quobble_ui quobble_catalogue_lib quobble_test_support
    benchmark::benchmark Qt6::Test)
endif()
