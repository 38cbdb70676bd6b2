# Fader tests: fades and waits on the timer service against the virtual card's mixer.
add_executable(fader_tests ${CMAKE_CURRENT_LIST_DIR}/fader_tests.cpp)
target_link_libraries(fader_tests PRIVATE player_fader GTest::gtest_main)
target_compile_definitions(fader_tests PRIVATE VCARD_ASOUND_CONF="${CMAKE_BINARY_DIR}/vcard/asound.conf")
gtest_discover_tests(fader_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "volume;tsan")
if(TARGET vcard)
  add_dependencies(fader_tests vcard)
endif()
