# Stream output: buffering algorithms, ring buffers, resampler and the buffered ALSA output.
set(_buffered_sources
  ${CMAKE_CURRENT_LIST_DIR}/CBufferingAlgorithm.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CBufferingAlgorithmNone.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CRingBuffer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CVectorRingBuffer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CResampler.cpp)
add_library(player_output_buffered STATIC ${_buffered_sources})
target_link_libraries(player_output_buffered PUBLIC quillon_utils PkgConfig::SWRESAMPLE)
