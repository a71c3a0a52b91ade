# The suites that build for Windows, run under Wine by ctest. Test files that
# need Linux (loop disks, mounts, shell commands, Qt) are left out here.
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

add_executable(orvandel_tests
  support.cpp
  support_windows.cpp
  NumberText_test.cpp
  HeadlessForm_test.cpp
  frmMain_test.cpp
  clsFile64_test.cpp
  basBase_test.cpp
  FragmentReport_test.cpp
  os_windows_test.cpp
  Timeline_test.cpp
  TimelineChartModel_test.cpp
  Engine_test.cpp
  Random_test.cpp
  RandomPanel_test.cpp
  ${PROJECT_SOURCE_DIR}/cli/TimelineCsv.cpp
)
target_link_libraries(orvandel_tests PRIVATE orvandel_form GTest::gtest_main orvandel_header_libs)
gtest_discover_tests(orvandel_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 300)

# The Win32 window in-process, driven through its controls' messages.
add_executable(orvandel_win32_tests Win32Form_test.cpp Win32RandomPanel_test.cpp support.cpp
               support_windows.cpp)
target_link_libraries(orvandel_win32_tests PRIVATE orvandel_window GTest::gtest_main)
gtest_discover_tests(orvandel_win32_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 120)

# The command line as a user runs it.
add_test(NAME CliVersion COMMAND orvandel-cli --version)
set_tests_properties(CliVersion PROPERTIES PASS_REGULAR_EXPRESSION "^Orvandel V${PROJECT_VERSION}\r?\n$")

# The three tests under Wine on a folder of the Linux file system, giving the
# window's lines.
set(cli_file ${CMAKE_CURRENT_BINARY_DIR}/cli-under-wine.bin)
add_test(NAME CliWriteRun COMMAND orvandel-cli write --file ${cli_file} --size 64 --block-sectors 256)
add_test(NAME CliReadRun COMMAND orvandel-cli read --file ${cli_file})
add_test(NAME CliCreateDelete COMMAND orvandel-cli create-delete --file ${cli_file} --files 20)
set_tests_properties(CliWriteRun PROPERTIES FIXTURES_SETUP cli_file
  PASS_REGULAR_EXPRESSION "(without flush: Written with [0-9.]+ MB/s|---)\r?\nfile flush time: [0-9]+ ms\r?\nvolume flush time: [0-9]+ ms\r?\n(with flush: Written with [0-9.]+ MB/s)?")
set_tests_properties(CliReadRun PROPERTIES FIXTURES_REQUIRED cli_file
  PASS_REGULAR_EXPRESSION "(Read with [0-9.]+ MB/s|---)\r?\n")
set_tests_properties(CliCreateDelete PROPERTIES FIXTURES_REQUIRED cli_file
  PASS_REGULAR_EXPRESSION "ms per file creation\r?\n[0-9]+ ms flush time\r?\n[0-9.]+ ms per file delete\r?\n[0-9]+ ms flush time")

# Random transfers on overlapped handles and a completion port.
add_test(NAME CliRandomIocp COMMAND orvandel-cli random --file ${cli_file}.rnd --size 4M --depth 8
         --threads 2 --mix 50 --count 2000 --json)
set_tests_properties(CliRandomIocp PROPERTIES
  PASS_REGULAR_EXPRESSION "\"engine\": \"iocp\".*\"max_in_flight\": 1[0-6],.*\"ok\": true")

# Both programs need nothing but the system's own DLLs.
add_test(NAME ImportsOnlySystemDlls
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/windows_imports.sh ${CMAKE_OBJDUMP}
                 $<TARGET_FILE:orvandel> $<TARGET_FILE:orvandel-cli>)
