# ALSA PCM output tests: the real alsa-lib against the virtual sound card, fed by the real
# decoder chain from generated media.
if(NOT TARGET quillon_test_media)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/support/media ${CMAKE_BINARY_DIR}/tests/support/media)
endif()
add_executable(pcm_output_tests
  ${CMAKE_CURRENT_LIST_DIR}/pcm_output_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pcm_chain_test.cpp)
target_link_libraries(pcm_output_tests PRIVATE
  player_output_pcm media_testkit vcard_testkit log_testkit GTest::gtest_main)
gtest_discover_tests(pcm_output_tests DISCOVERY_TIMEOUT 60
  PROPERTIES LABELS "output" ENVIRONMENT "QUILLON_TEST_MEDIA_DIR=${QUILLON_TEST_MEDIA_DIR}")
