# The search core beside a plain libcurl + pugixml loop doing the same work:
# one 100-item search, 100 cold and 100 warm thumbnails, against the embedded
# catalogue on loopback.
add_executable(search_bench ${CMAKE_CURRENT_LIST_DIR}/search_bench.cpp)
target_link_libraries(search_bench PRIVATE quobble_search quobble_catalogue_lib quobble_test_support
  pugixml::pugixml CURL::libcurl benchmark::benchmark Threads::Threads)
