# The suites that build for Windows, run under Wine by ctest. Test files that
# need Linux (loop disks, mounts, shell commands, Qt) are left out here.
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

add_executable(orvandel_tests
  support_windows.cpp
  NumberText_test.cpp
  HeadlessForm_test.cpp
  frmMain_test.cpp
  clsFile64_test.cpp
  basBase_test.cpp
  FragmentReport_test.cpp
  os_windows_test.cpp
  Timeline_test.cpp
  ${PROJECT_SOURCE_DIR}/cli/TimelineCsv.cpp
)
target_link_libraries(orvandel_tests PRIVATE orvandel_engine GTest::gtest_main orvandel_header_libs)
gtest_discover_tests(orvandel_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 300)

# The Win32 window in-process, driven through its controls' messages.
add_executable(orvandel_win32_tests Win32Form_test.cpp support_windows.cpp)
target_link_libraries(orvandel_win32_tests PRIVATE orvandel_window GTest::gtest_main)
gtest_discover_tests(orvandel_win32_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 120)

# The command line as a user runs it.
add_test(NAME CliVersion COMMAND orvandel-cli --version)
set_tests_properties(CliVersion PROPERTIES PASS_REGULAR_EXPRESSION "^Orvandel V${PROJECT_VERSION}\r?\n$")
