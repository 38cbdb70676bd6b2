# Side by side with the mpg123 and ffmpeg command lines: time to first audio, switch
# latency, CPU and peak memory, on the virtual card. Run: bench/compare.py (or the target
# run_compare_bench). rss_floor is the memory floor that the script prints with them.
add_executable(rss_floor ${CMAKE_CURRENT_LIST_DIR}/rss_floor.cpp)
target_link_libraries(rss_floor PRIVATE orvaneplayer)
# engine_bench exists where the virtual card's test kit does (engine.cmake).
if(TARGET quillon AND TARGET vcard_testkit)
  add_custom_target(run_compare_bench
    COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/compare.py --build ${CMAKE_BINARY_DIR}
    DEPENDS quillon rss_floor players_rss engine_bench source_bench vcard
    USES_TERMINAL)
endif()
add_executable(players_rss ${CMAKE_CURRENT_LIST_DIR}/players_rss.cpp)
target_link_libraries(players_rss PRIVATE orvaneplayer)
