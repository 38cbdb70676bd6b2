# Decoder chain overhead: CPU seconds per audio hour through the chain and bare library
# calls, on ten-minute files generated at build time. Run: bench/decoder_bench <mp3> <aac>
# or the target run_decoder_bench.
set(_bench_media ${CMAKE_BINARY_DIR}/bench-media)
add_custom_command(
  OUTPUT ${_bench_media}/long.mp3 ${_bench_media}/long.aac
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_bench_media}
  COMMAND ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi
          -i "aevalsrc=0.4*sin(2*PI*440*t)+0.1*sin(2*PI*3000*t)|0.4*sin(2*PI*660*t):s=44100:d=600"
          -c:a libmp3lame -b:a 128k -write_xing 0 -id3v2_version 0 ${_bench_media}/long.mp3
  COMMAND ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi
          -i "aevalsrc=0.4*sin(2*PI*440*t)+0.1*sin(2*PI*3000*t)|0.4*sin(2*PI*660*t):s=44100:d=600"
          -c:a aac -b:a 128k -f adts ${_bench_media}/long.aac
  COMMENT "Generating ten-minute benchmark media"
  VERBATIM)
add_custom_target(decoder_bench_media DEPENDS ${_bench_media}/long.mp3 ${_bench_media}/long.aac)

add_executable(decoder_bench ${CMAKE_CURRENT_LIST_DIR}/decoder_bench.cpp)
target_link_libraries(decoder_bench PRIVATE player_decoder PkgConfig::FFMPEG)
add_custom_target(run_decoder_bench
  COMMAND decoder_bench ${_bench_media}/long.mp3 ${_bench_media}/long.aac
  DEPENDS decoder_bench decoder_bench_media
  USES_TERMINAL)
