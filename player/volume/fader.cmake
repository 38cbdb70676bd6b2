# Timer-driven volume fades on the volume control.
add_library(player_fader STATIC
  ${CMAKE_CURRENT_LIST_DIR}/CFader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CFaderAdapter.cpp)
target_link_libraries(player_fader PUBLIC quillon_utils player_volume_control)
