# Fader tests: fades and waits on the timer service against the virtual card's mixer.
add_executable(fader_tests ${CMAKE_CURRENT_LIST_DIR}/fader_tests.cpp)
target_link_libraries(fader_tests PRIVATE player_fader vcard_testkit GTest::gtest_main)
add_dependencies(fader_tests vcard)
gtest_discover_tests(fader_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "volume;tsan")
