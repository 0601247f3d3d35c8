# The download path: loopback server -> internet library -> DownloadFile -> device file.
add_executable(download_bench ${CMAKE_CURRENT_LIST_DIR}/download_bench.cpp)
target_link_libraries(download_bench PRIVATE quobble_search quobble_test_support benchmark::benchmark)
