# XML parser throughput and memory, beside pugixml.
add_executable(xml_bench ${CMAKE_CURRENT_LIST_DIR}/xml_bench.cpp)
target_link_libraries(xml_bench PRIVATE quobble_xml pugixml::pugixml benchmark::benchmark
  Threads::Threads)
