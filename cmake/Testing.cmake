# mirovane_test(NAME SOURCES... LIBS ...): one GoogleTest executable whose cases are
# registered with CTest. Tests labelled "e2e" start the simulated machine; the
# sanitizer build runs only the "unit" and "component" labels.
function(mirovane_test name)
  cmake_parse_arguments(T "" "LABEL" "SOURCES;LIBS" ${ARGN})
  if(NOT T_LABEL)
    set(T_LABEL unit)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  gtest_discover_tests(${name}
    PROPERTIES LABELS ${T_LABEL} TIMEOUT 300
    DISCOVERY_TIMEOUT 60)
endfunction()

# mirovane_fuzzer(NAME SOURCES... LIBS ... [RUNS n]): a libFuzzer target, built only
# with -DMIROVANE_FUZZ=ON and clang, registered as a CTest test (label "fuzz") that
# runs a bounded number of inputs. Every fuzzer joins the target fuzz_all.
if(MIROVANE_FUZZ AND NOT TARGET fuzz_all)
  add_custom_target(fuzz_all)
endif()
function(mirovane_fuzzer name)
  if(NOT MIROVANE_FUZZ)
    return()
  endif()
  cmake_parse_arguments(F "" "RUNS" "SOURCES;LIBS" ${ARGN})
  if(NOT F_RUNS)
    set(F_RUNS 200000)
  endif()
  add_executable(${name} ${F_SOURCES})
  # Undefined behaviour must stop the run, so that a finding fails the test.
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined
                         -fno-sanitize-recover=undefined)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  add_dependencies(fuzz_all ${name})
  add_test(NAME ${name} COMMAND ${name} -runs=${F_RUNS} -max_len=65536 -rss_limit_mb=2048)
  set_tests_properties(${name} PROPERTIES LABELS fuzz TIMEOUT 900
                       ENVIRONMENT "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1")
endfunction()
