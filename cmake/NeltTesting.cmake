# add_unit_test(NAME name SOURCES ... LIBS ... [TIMEOUT s] [LABELS ...])
# Registers one test executable with the environment every test runs in:
# offscreen Qt, UTF-8 locale, the platform stand-ins first on PATH and the
# build's programs reachable through NELT_BIN_DIR.
find_package(GTest REQUIRED)

set(NELT_TEST_ENV
    "QT_QPA_PLATFORM=offscreen"
    "LANG=C.UTF-8"
    "LC_ALL=C.UTF-8"
    # No test may reach a public host: the engine's IP lookup is off unless a
    # test points it at the local store server.
    "NELT_IP_LOOKUP_URL="
    "NELT_BIN_DIR=${NELT_TOOLS_BIN_DIR}"
    "NELT_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
    "NELT_STANDINS_DIR=${CMAKE_SOURCE_DIR}/tools/standins"
    "PATH=${CMAKE_SOURCE_DIR}/tools/standins:${NELT_TOOLS_BIN_DIR}:$ENV{PATH}"
    "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0"
    "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")

function(add_unit_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} nelt_testsupport GTest::gtest GTest::gtest_main)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${NELT_TEST_ENV}" TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()

# Qt tests use QtTest's own main; same environment.
function(add_qt_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  set_target_properties(${T_NAME} PROPERTIES AUTOMOC ON)
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} nelt_testsupport Qt5::Test)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${NELT_TEST_ENV}" TIMEOUT ${T_TIMEOUT})
endfunction()
