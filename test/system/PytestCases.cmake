# Read by CTest before it runs tests (a test include file): adds one CTest
# test per pytest case of one file, so the cases of a file spread over the
# worker slots. The case list is collected again only when the file or the
# shared helper changed. A file that cannot be collected becomes one test
# that runs it whole, so its error shows.
#
# Set by the including script: name, file, harness_dir, slot_script, python,
# environment, fixtures, locks, timeout, cases_file, depends.

set(collect TRUE)
if(EXISTS "${cases_file}")
  set(collect FALSE)
  foreach(input IN LISTS file depends)
    if("${input}" IS_NEWER_THAN "${cases_file}")
      set(collect TRUE)
    endif()
  endforeach()
endif()

if(collect)
  # Collecting imports the test's helpers, which look for their slot.
  execute_process(
    COMMAND "${CMAKE_COMMAND}" -E env ${environment}
            "${slot_script}" "${harness_dir}" "${python}" -m pytest --collect-only -q -p no:cacheprovider "${file}"
    OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE result TIMEOUT 120)
  set(cases "")
  if(result EQUAL 0)
    string(REPLACE "\n" ";" lines "${output}")
    foreach(line IN LISTS lines)
      if(line MATCHES "::(.+)$")
        list(APPEND cases "${CMAKE_MATCH_1}")
      endif()
    endforeach()
  endif()
  file(WRITE "${cases_file}" "${cases}")
else()
  file(READ "${cases_file}" cases)
endif()

if(cases STREQUAL "")
  set(cases "")
  add_test("system.${name}" "${slot_script}" "${harness_dir}" "${python}" -m pytest -q -p no:cacheprovider "${file}")
  set(tests "system.${name}")
else()
  set(tests "")
  foreach(case IN LISTS cases)
    add_test("system.${name}::${case}" "${slot_script}" "${harness_dir}"
             "${python}" -m pytest -q -p no:cacheprovider "${file}::${case}")
    list(APPEND tests "system.${name}::${case}")
  endforeach()
endif()

# A case drives several Wine programs and lasts about ten unit cases; a
# first run (no cost data yet) starts these first, so they do not trail.
foreach(test IN LISTS tests)
  set_tests_properties("${test}" PROPERTIES ENVIRONMENT "${environment}" FIXTURES_REQUIRED "${fixtures}"
                       TIMEOUT "${timeout}" COST 10)
  if(locks)
    set_tests_properties("${test}" PROPERTIES RESOURCE_LOCK "${locks}")
  endif()
endforeach()
