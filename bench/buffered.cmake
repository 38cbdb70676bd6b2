# CPU cost of the stream output path per audio hour next to bare swr_convert.
add_executable(buffered_bench ${CMAKE_CURRENT_LIST_DIR}/buffered_bench.cpp)
target_link_libraries(buffered_bench PRIVATE player_output_buffered)
if(TARGET vcard_testkit)
  target_link_libraries(buffered_bench PRIVATE vcard_testkit)
  target_compile_definitions(buffered_bench PRIVATE BUFFERED_BENCH_VCARD=1)
  add_dependencies(buffered_bench vcard)
endif()
