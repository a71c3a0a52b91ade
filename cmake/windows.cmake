# The Windows programs: the Win32 window and the command line, with their
# version record, manifest and icon. Included from the top-level list.

# Debian's header-only libraries live under /usr/include, which must not be
# searched whole: its C library headers would shadow MinGW's own. Each gets
# a folder of its own that links to just its headers.
set(ORVANDEL_HEADER_LINKS ${CMAKE_BINARY_DIR}/header-links)
foreach(dir CLI nlohmann)
  if(NOT EXISTS /usr/include/${dir})
    message(FATAL_ERROR "/usr/include/${dir} is missing: run scripts/setup")
  endif()
  file(MAKE_DIRECTORY ${ORVANDEL_HEADER_LINKS}/${dir})
  file(REMOVE_RECURSE ${ORVANDEL_HEADER_LINKS}/${dir})
  file(CREATE_LINK /usr/include/${dir} ${ORVANDEL_HEADER_LINKS}/${dir} SYMBOLIC)
endforeach()
add_library(orvandel_header_libs INTERFACE)
target_include_directories(orvandel_header_libs SYSTEM INTERFACE ${ORVANDEL_HEADER_LINKS})

# File and product version "0.09.0055" for 0.9.55.
string(LENGTH "${PROJECT_VERSION_MINOR}" _len)
set(ORVANDEL_VERSION_TEXT_MINOR "${PROJECT_VERSION_MINOR}")
if(_len LESS 2)
  set(ORVANDEL_VERSION_TEXT_MINOR "0${PROJECT_VERSION_MINOR}")
endif()
set(ORVANDEL_VERSION_TEXT_PATCH "000${PROJECT_VERSION_PATCH}")
string(LENGTH "${ORVANDEL_VERSION_TEXT_PATCH}" _len)
math(EXPR _from "${_len} - 4")
string(SUBSTRING "${ORVANDEL_VERSION_TEXT_PATCH}" ${_from} 4 ORVANDEL_VERSION_TEXT_PATCH)
set(ORVANDEL_VERSION_TEXT "${PROJECT_VERSION_MAJOR}.${ORVANDEL_VERSION_TEXT_MINOR}.${ORVANDEL_VERSION_TEXT_PATCH}")

function(orvandel_resources target description icon)
  set(ORVANDEL_RC_DESCRIPTION "${description}")
  set(ORVANDEL_RC_FILENAME "${target}.exe")
  set(ORVANDEL_RC_ICON_LINE "")
  if(icon)
    set(ORVANDEL_RC_ICON_LINE "1 ICON \"${icon}\"")
  endif()
  set(ORVANDEL_RC_MANIFEST "${CMAKE_BINARY_DIR}/orvandel.manifest")
  configure_file(${PROJECT_SOURCE_DIR}/win32/orvandel.manifest ${ORVANDEL_RC_MANIFEST} @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/win32/version.rc.in ${CMAKE_BINARY_DIR}/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_BINARY_DIR}/${target}.rc)
  set_property(SOURCE ${CMAKE_BINARY_DIR}/${target}.rc APPEND PROPERTY OBJECT_DEPENDS
               ${ORVANDEL_RC_MANIFEST} ${icon})
endfunction()

# The window over the system's own controls.
add_library(orvandel_window STATIC win32/Win32Form.cpp win32/RandomPane.cpp win32/SceneGdi.cpp)
target_link_libraries(orvandel_window PUBLIC orvandel_form user32 gdi32 comdlg32 comctl32)
add_executable(orvandel WIN32 win32/main.cpp)
target_link_libraries(orvandel PRIVATE orvandel_window)
orvandel_resources(orvandel "Orvandel" "${PROJECT_SOURCE_DIR}/data/icons/orvandel.ico")

add_executable(orvandel-cli cli/main.cpp cli/Common.cpp cli/JsonText.cpp cli/TimelineCsv.cpp
               cli/Units.cpp cli/SystemJson.cpp cli/RandomCommand.cpp cli/Job.cpp
               cli/JobAggregate.cpp)
target_link_libraries(orvandel-cli PRIVATE orvandel_form orvandel_header_libs)
orvandel_resources(orvandel-cli "Orvandel command line" "")

# Tests run under Wine in a prefix of their own, without its set-up prompts.
if(CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR)
  set(ORVANDEL_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      env WINEPREFIX=${ORVANDEL_WINEPREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
      ${CMAKE_CROSSCOMPILING_EMULATOR})
  set_property(TARGET orvandel orvandel-cli PROPERTY CROSSCOMPILING_EMULATOR "${CMAKE_CROSSCOMPILING_EMULATOR}")
endif()
