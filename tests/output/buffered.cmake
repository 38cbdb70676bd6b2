# Stream output tests: ring buffers, buffering algorithms, resampler, buffered ALSA output.
add_executable(buffered_unit_tests
  ${CMAKE_CURRENT_LIST_DIR}/algorithm_tests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ring_tests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/resampler_tests.cpp)
target_link_libraries(buffered_unit_tests PRIVATE player_output_buffered GTest::gtest_main)
gtest_discover_tests(buffered_unit_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "output;tsan")
