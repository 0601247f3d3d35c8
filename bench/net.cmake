# The download path: loopback server -> internet library -> DownloadFile -> device file.
if(NOT QUOBBLE_WITH_BENCH OR NOT TARGET benchmark::benchmark)
  return()
endif()
add_executable(download_bench ${CMAKE_CURRENT_LIST_DIR}/download_bench.cpp)
target_link_libraries(download_bench PRIVATE quobble_search quobble_test_support benchmark::benchmark)
target_include_directories(download_bench PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR})
