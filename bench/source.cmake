# The audio source with the decoder chain against a bare libavformat + decoder loop on one
# local file: bench/source_bench <file> [rounds]. Decoder-only, so that
# valgrind --tool=callgrind can count its instructions.
add_executable(source_bench ${CMAKE_CURRENT_LIST_DIR}/source_bench.cpp)
target_link_libraries(source_bench PRIVATE player_source player_decoder PkgConfig::FFMPEG PkgConfig::SWRESAMPLE)
