# The player under network weather (loss, jitter, outages, restarted and foreign senders,
# servers that close): bench/network_weather.py, or the target run_network_weather.
if(TARGET quillon)
  add_custom_target(run_network_weather
    COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/network_weather.py --build ${CMAKE_BINARY_DIR}
    DEPENDS quillon vcard
    USES_TERMINAL)
endif()
