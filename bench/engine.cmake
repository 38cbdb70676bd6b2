# Engine responsiveness: how long commands take to reach the delegate while a file plays
# and while a stream read is stalled, and from SetItem + Play to the first frame at the
# device. Runs on the virtual card and the loopback HTTP server. Run: bench/engine_bench
if(TARGET vcard_testkit)
  if(NOT TARGET http_testkit)
    add_subdirectory(${PROJECT_SOURCE_DIR}/tests/support/http ${CMAKE_BINARY_DIR}/tests/support/http)
  endif()
  set(_engine_bench_media ${CMAKE_BINARY_DIR}/bench-media/engine)
  add_custom_command(
    OUTPUT ${_engine_bench_media}/long.mp3 ${_engine_bench_media}/long.aac
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_engine_bench_media}
    COMMAND ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi
            -i sine=frequency=440:sample_rate=44100:duration=30
            -c:a libmp3lame -b:a 128k -ac 2 -write_xing 0 -id3v2_version 0 ${_engine_bench_media}/long.mp3
    COMMAND ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi
            -i sine=frequency=440:sample_rate=44100:duration=30
            -c:a aac -b:a 128k -ac 2 -f adts ${_engine_bench_media}/long.aac
    COMMENT "Generating engine benchmark media"
    VERBATIM)
  add_custom_target(engine_bench_media DEPENDS ${_engine_bench_media}/long.mp3)
  add_executable(engine_bench ${CMAKE_CURRENT_LIST_DIR}/engine_bench.cpp)
  add_dependencies(engine_bench engine_bench_media vcard)
  target_compile_definitions(engine_bench PRIVATE ENGINE_BENCH_MEDIA="${_engine_bench_media}")
  target_link_libraries(engine_bench PRIVATE player_engine vcard_testkit http_testkit)
endif()
