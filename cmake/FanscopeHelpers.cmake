# Precompiled headers for the standard library, the test framework and Qt:
# most of a translation unit's compile time here is spent in them. A
# compiler cache cannot store a compile that uses one, so they are off by
# default when ccache is the launcher (a developer's incremental builds) and
# on otherwise (a fresh build, as CI's).
if(CMAKE_CXX_COMPILER_LAUNCHER MATCHES "ccache")
  set(_fanscope_pch_default OFF)
else()
  set(_fanscope_pch_default ON)
endif()
option(FANSCOPE_PCH "Precompile the standard, test framework and Qt headers" ${_fanscope_pch_default})
set(FANSCOPE_PCH_STD <algorithm> <array> <chrono> <cstdint> <functional> <map> <memory> <optional> <string>
                     <string_view> <vector>)
set(FANSCOPE_PCH_QT <QtWidgets/QtWidgets>)

# fanscope_pch(<target> [QT]): the standard headers, and Qt's with QT,
# precompiled for one target's sources.
function(fanscope_pch target)
  if(NOT FANSCOPE_PCH)
    return()
  endif()
  cmake_parse_arguments(P "QT" "" "" ${ARGN})
  set(_headers ${FANSCOPE_PCH_STD})
  if(P_QT)
    list(APPEND _headers ${FANSCOPE_PCH_QT})
  endif()
  foreach(h ${_headers})
    target_precompile_headers(${target} PRIVATE "$<$<COMPILE_LANGUAGE:CXX>:${h}>")
  endforeach()
endfunction()

# One precompiled header for the non-GUI tests and one for the GUI tests,
# each built once by a carrier that links what they link. GCC refuses a
# shared header where a define differs from the carrier's, and Qt's test
# library defines each folder's build directory: so far the GUI header
# serves the carrier's folder only, and other GUI tests compile without it.
function(_fanscope_test_pch name gui)
  if(NOT FANSCOPE_PCH)
    return()
  endif()
  set(_carrier fanscope_test_pch)
  set(_libs GTest::gtest GTest::gmock Threads::Threads)
  set(_headers ${FANSCOPE_PCH_STD} <gtest/gtest.h> <gmock/gmock.h>)
  if(gui)
    set(_carrier fanscope_gui_test_pch)
    list(APPEND _libs fanscope_app Qt6::Test)
    list(APPEND _headers ${FANSCOPE_PCH_QT})
  endif()
  if(NOT TARGET ${_carrier})
    set(_source ${CMAKE_BINARY_DIR}/${_carrier}.cpp)
    file(WRITE ${_source} "int main() { return 0; }\n")
    add_executable(${_carrier} EXCLUDE_FROM_ALL ${_source})
    target_link_libraries(${_carrier} PRIVATE ${_libs})
    target_precompile_headers(${_carrier} PRIVATE ${_headers})
  endif()
  target_precompile_headers(${name} REUSE_FROM ${_carrier})
  # A test whose own defines make the shared header unusable compiles
  # without it rather than failing.
  target_compile_options(${name} PRIVATE -Wno-error=invalid-pch)
endfunction()

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
  if("${T_LIBS}" MATCHES "fanscope_app")
    _fanscope_test_pch(${name} TRUE)
  elseif(NOT "${T_LIBS}" MATCHES "Qt6|fanscope_(widgets|plot)")
    _fanscope_test_pch(${name} FALSE)
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES
    LABELS "${T_LABELS}"
    TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "VEXLINK06_PLATFORM=sim;FANSCOPE_BOARD=inprocess;QT_QPA_PLATFORM=offscreen;FANSCOPE_SOURCE_DIR=${CMAKE_SOURCE_DIR};FANSCOPE_BINARY_DIR=${CMAKE_BINARY_DIR}")
endfunction()
