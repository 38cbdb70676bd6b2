# Blocking ALSA output for local files.
add_library(player_output_pcm STATIC ${CMAKE_CURRENT_LIST_DIR}/CPCMOutput.cpp)
target_link_libraries(player_output_pcm PUBLIC player_decoder player_volume_control PkgConfig::ALSA)
