# Stream output tests: ring buffers, buffering algorithms, resampler, buffered ALSA output.
add_executable(buffered_unit_tests
  ${CMAKE_CURRENT_LIST_DIR}/algorithm_tests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ring_tests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/resampler_tests.cpp)
target_link_libraries(buffered_unit_tests PRIVATE player_output_buffered log_testkit GTest::gtest_main)
gtest_discover_tests(buffered_unit_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "output;tsan")

# The buffered output against the virtual sound card.
add_executable(buffered_output_tests ${CMAKE_CURRENT_LIST_DIR}/buffered_output_tests.cpp)
target_link_libraries(buffered_output_tests PRIVATE player_output_buffered vcard_testkit log_testkit GTest::gtest_main)
add_dependencies(buffered_output_tests vcard)
gtest_discover_tests(buffered_output_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "output")

# Ten minutes of simulated audio against a drifting card clock (about a minute of wall time).
add_executable(buffered_drift_tests ${CMAKE_CURRENT_LIST_DIR}/buffered_drift_tests.cpp)
target_link_libraries(buffered_drift_tests PRIVATE player_output_buffered vcard_testkit log_testkit GTest::gtest_main)
add_dependencies(buffered_drift_tests vcard)
# Alone on the machine: its level bounds assume the feeder thread is not starved.
gtest_discover_tests(buffered_drift_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "output;drift" TIMEOUT 300 RUN_SERIAL TRUE)
