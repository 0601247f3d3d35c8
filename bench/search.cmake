# The search core beside a plain libcurl + pugixml loop doing the same work:
# one 100-item search, 100 cold and 100 warm thumbnails, against the embedded
# catalogue on loopback.
if(NOT QUOBBLE_WITH_BENCH OR NOT TARGET benchmark::benchmark OR NOT TARGET quobble_catalogue_lib)
  return()
endif()
if(TARGET pugixml::pugixml)
  set(search_bench_pugixml pugixml::pugixml)
elseif(TARGET pugixml)
  set(search_bench_pugixml pugixml)
else()
  return()
endif()
add_executable(search_bench ${CMAKE_CURRENT_LIST_DIR}/search_bench.cpp)
target_link_libraries(search_bench PRIVATE quobble_search quobble_catalogue_lib quobble_test_support
  ${search_bench_pugixml} CURL::libcurl benchmark::benchmark Threads::Threads)
target_include_directories(search_bench PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR})
