# Volume conversion and the simple-mixer volume control against the virtual card's mixer.
add_executable(volume_control_tests ${CMAKE_CURRENT_LIST_DIR}/volume_control_tests.cpp)
target_link_libraries(volume_control_tests PRIVATE
  player_volume_control vcard_testkit log_testkit GTest::gtest_main)
gtest_discover_tests(volume_control_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "volume")
