# fanscope_add_test(<name> SOURCES ... [LIBS ...] [LABELS unit|gui|e2e|soak] [TIMEOUT s])
# One ctest entry per test program. Every test runs on the simulated board
# (VEXLINK06_PLATFORM=sim), each process on a board of its own
# (FANSCOPE_BOARD=inprocess; tests of the shared board name their own
# socket), and GUI tests on the offscreen platform.
function(fanscope_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${name} ${T_SOURCES})
  # Shared fixtures: #include "support/..."
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock Threads::Threads)
  if(NOT "${T_LIBS}" MATCHES "GTest::gtest_main")
    # Tests that bring their own main() list it in SOURCES; others get gtest_main.
    get_target_property(_srcs ${name} SOURCES)
    if(NOT "${_srcs}" MATCHES "main\\.cpp")
      target_link_libraries(${name} PRIVATE GTest::gtest_main)
    endif()
  endif()
  # The library loads these by name at run time, so the link graph misses them.
  foreach(dep vxport_sim vxmb_sim vxport_linux vxmb_linux vxi2c_sim vxi2c_linux fanscope-board)
    if(TARGET ${dep})
      add_dependencies(${name} ${dep})
    endif()
  endforeach()
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES
    LABELS "${T_LABELS}"
    TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "VEXLINK06_PLATFORM=sim;FANSCOPE_BOARD=inprocess;QT_QPA_PLATFORM=offscreen;FANSCOPE_SOURCE_DIR=${CMAKE_SOURCE_DIR};FANSCOPE_BINARY_DIR=${CMAKE_BINARY_DIR}")
endfunction()
