# The stand-in catalogue under load: 100-item answers from a 100,000-product
# catalogue over keep-alive loopback connections, and the embedded start-up.
add_executable(catalogue_bench ${CMAKE_CURRENT_LIST_DIR}/catalogue_bench.cpp)
target_link_libraries(catalogue_bench PRIVATE quobble_catalogue_lib quobble_test_support
  benchmark::benchmark Threads::Threads)
