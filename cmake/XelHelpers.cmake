# Test programs that need what only the POSIX systems here have (PAM, Samba, /proc); they are
# not built for Windows.
set(XEL_POSIX_ONLY_TESTS
  xelc_LogonConnector_test         # PAM logons and per-thread identities
  xelc_NetConnectionsManager_test  # a private Samba server
  xelc_SeveralMachines_test)       # network namespaces as machines, Samba

# xel_add_test(<name> SOURCES <files...> LIBS <targets...>)
# One GoogleTest executable per test source, registered with CTest.
function(xel_add_test name)
  if(NOT XEL_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(WIN32 AND name IN_LIST XEL_POSIX_ONLY_TESTS)
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/XelLib/testing)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  if(CMAKE_CROSSCOMPILING)
    # Under an emulator (wine) every start of a program costs time: one CTest entry per test
    # program, which runs all of its cases.
    math(EXPR T_TIMEOUT "${T_TIMEOUT} * 3")
    if(XEL_EMULATOR_MISSING)
      # The programs are built and checked, but nothing here can run them.
      add_test(NAME ${name} COMMAND ${CMAKE_COMMAND} -E echo "SKIPPED: ${XEL_EMULATOR_MISSING}")
      set_tests_properties(${name} PROPERTIES SKIP_REGULAR_EXPRESSION "SKIPPED: "
                           LABELS "${T_LABELS}")
    else()
      add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
      set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
    endif()
  else()
    gtest_discover_tests(${name}
      DISCOVERY_TIMEOUT 60
      PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
  endif()
endfunction()

# Paths of the build tree as the programs under test see them. Under wine the Linux file
# system is the drive Z:, so a Windows program is given "Z:/path".
if(CMAKE_CROSSCOMPILING AND WIN32)
  set(XEL_TARGET_PATH_PREFIX "Z:")
else()
  set(XEL_TARGET_PATH_PREFIX "")
endif()
