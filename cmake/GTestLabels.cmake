# gtest_discover_tests() flattens its PROPERTIES into one list, so a list value such as
# LABELS "output;tsan" arrives at the discovered tests as LABELS "output" plus a bogus
# property "tsan": every label after the first is lost, and `ctest -L tsan` or
# `ctest -LE integration` silently pick the wrong tests. This wrapper takes the LABELS value
# out before the real function sees it and sets it on the discovered tests afterwards.
# Include it after include(GoogleTest); call sites stay unchanged.
# Wrapping twice would make the wrapper call itself.
if(COMMAND _quillon_gtest_labels_wrapped)
  return()
endif()
function(_quillon_gtest_labels_wrapped)
endfunction()

function(gtest_discover_tests TARGET)
  set(forward "")
  set(labels "")
  set(test_list "${TARGET}_TESTS")
  set(in_properties FALSE)
  # ARGV<n> keeps each argument whole; ARGN would split "a;b" already.
  set(i 1)
  while(i LESS ARGC)
    set(arg "${ARGV${i}}")
    math(EXPR next "${i} + 1")
    if(arg STREQUAL "PROPERTIES")
      set(in_properties TRUE)
    elseif(in_properties AND arg STREQUAL "LABELS" AND next LESS ARGC)
      set(labels "${ARGV${next}}")
      math(EXPR i "${next} + 1")
      continue()
    elseif(arg STREQUAL "TEST_LIST" AND next LESS ARGC)
      set(test_list "${ARGV${next}}")
    endif()
    string(REPLACE ";" "\\;" arg "${arg}")
    list(APPEND forward "${arg}")
    set(i ${next})
  endwhile()
  if(forward MATCHES "PROPERTIES$")
    list(REMOVE_AT forward -1)  # nothing left behind the keyword
  endif()
  _gtest_discover_tests(${TARGET} ${forward})
  if(labels STREQUAL "")
    return()
  endif()
  set(script "${CMAKE_CURRENT_BINARY_DIR}/${TARGET}_labels.cmake")
  file(WRITE "${script}"
    "if(${test_list})\n"
    "  set_tests_properties(\${${test_list}} PROPERTIES LABELS \"${labels}\")\n"
    "endif()\n")
  # Runs after the discovery's own include file, which defines the list of test names.
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${script}")
endfunction()
