# shelvonx_discover_tests(<target> [LABEL <label>] [TSAN_ALSO <regex>] [TIMEOUT <seconds>])
# Registers a GoogleTest binary's tests with ctest under LABEL (unit by default). Suites whose name
# ends in "Concurrency", and tests matching TSAN_ALSO, also get label tsan so that the tsan preset
# runs them. The labels are set once the tests are known, after the discovery's own include file.
# Every test has a time-out (120 s, scenario tests 300 s unless TIMEOUT says) so that a hang fails
# in minutes instead of holding the run.
function(shelvonx_discover_tests target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "LABEL;TSAN_ALSO;TIMEOUT" "")
  if(NOT arg_LABEL)
    set(arg_LABEL unit)
  endif()
  if(NOT arg_TIMEOUT)
    if(arg_LABEL STREQUAL "scenario")
      set(arg_TIMEOUT 300)
    else()
      set(arg_TIMEOUT 120)
    endif()
  endif()
  set(tsan_pattern [=[Concurrency\.]=])
  if(arg_TSAN_ALSO)
    set(tsan_pattern "${arg_TSAN_ALSO}|${tsan_pattern}")
  endif()
  gtest_discover_tests(${target} PROPERTIES LABELS ${arg_LABEL} DISCOVERY_MODE PRE_TEST TEST_LIST ${target}_ALL)
  set(labels_file ${CMAKE_CURRENT_BINARY_DIR}/${target}_labels.cmake)
  file(CONFIGURE OUTPUT ${labels_file} @ONLY CONTENT [=[
set(tsan_pattern [==[@tsan_pattern@]==])
# gtest_discover_tests reads TIMEOUT as its own keyword, so the tests' time-out is set here.
foreach(test IN LISTS @target@_ALL)
  set_tests_properties(${test} PROPERTIES TIMEOUT @arg_TIMEOUT@)
  if(test MATCHES "${tsan_pattern}")
    set_tests_properties(${test} PROPERTIES LABELS "@arg_LABEL@;tsan")
  endif()
endforeach()
]=])
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${labels_file})
endfunction()

# shelvonx_checked_formats(<target>...)
# Targets whose every printf-style format is a literal or a constexpr text the compiler sees; with
# SHELVONX_FORMAT_NONLITERAL they are built with -Wformat-nonliteral so that it stays so.
function(shelvonx_checked_formats)
  if(SHELVONX_FORMAT_NONLITERAL)
    foreach(target IN LISTS ARGN)
      target_compile_options(${target} PRIVATE -Wformat -Wformat-nonliteral)
    endforeach()
  endif()
endfunction()
