# Test set-up of the Windows cross build (mingw-w64, tests run under wine).
# Included by tests/CMakeLists.txt in place of find_package(GTest) and
# include(GoogleTest).

# Debian ships GoogleTest for Windows as sources only: build them with the
# cross toolchain and offer the targets under the names find_package gives.
set(XO_GTEST_SOURCE_DIR /usr/src/googletest
    CACHE PATH "GoogleTest sources to build with the cross toolchain")
if(NOT EXISTS ${XO_GTEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${XO_GTEST_SOURCE_DIR} "
                      "(Debian package googletest); set XO_GTEST_SOURCE_DIR")
endif()
# GoogleTest's options honour these plain variables.
set(CMAKE_POLICY_DEFAULT_CMP0077 NEW)
set(INSTALL_GTEST OFF)
set(BUILD_GMOCK ON)
set(gtest_force_shared_crt ON)
add_subdirectory(${XO_GTEST_SOURCE_DIR} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
foreach(lib gtest gtest_main gmock gmock_main)
  if(NOT TARGET GTest::${lib})
    add_library(GTest::${lib} ALIAS ${lib})
  endif()
endforeach()

# A Windows program finds its DLLs beside it: every test program, the
# programs under test and the scripted XoSys64.dll share one folder.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
if(TARGET XoMQSender)
  set_target_properties(XoMQSender PROPERTIES RUNTIME_OUTPUT_DIRECTORY
                                              ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
endif()

# List the test cases when ctest runs, inside the prepared wine prefix,
# rather than under wine while building.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

# Listing a program's test cases means starting it under wine, which on a
# loaded machine can take longer than the 5 s that gtest_discover_tests
# allows by default. A timeout given by the caller still wins.
include(GoogleTest)
function(gtest_discover_tests target)
  _gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 ${ARGN})
endfunction()
