# Stream output: buffering algorithms, ring buffers, resampler and the buffered ALSA output.
set(_buffered_sources
  ${CMAKE_CURRENT_LIST_DIR}/CBufferingAlgorithm.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CBufferingAlgorithmNone.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CRingBuffer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CVectorRingBuffer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CResampler.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CPCMOutputBuffered.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CStreamHealth.cpp)
add_library(player_output_buffered STATIC ${_buffered_sources})
target_link_libraries(player_output_buffered
  PUBLIC quillon_utils player_output_pcm PkgConfig::SWRESAMPLE PkgConfig::ALSA)
