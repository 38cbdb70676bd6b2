# Volume in percent and dB on the ALSA simple mixer.
add_library(player_volume_control STATIC
  ${CMAKE_CURRENT_LIST_DIR}/CVolumeConvertion.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CVolumeControlAdapter.cpp)
target_link_libraries(player_volume_control PUBLIC quillon_utils PkgConfig::ALSA)
