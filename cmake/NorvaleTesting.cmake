# norvale_add_gtest(NAME name SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s] [DBUS] [SHARDS n])
# Builds a GoogleTest binary linked with the shared main (QCoreApplication or
# QApplication offscreen) and registers it with CTest. DBUS runs the binary
# under its own session bus. SHARDS n registers n entries, name_1 to name_n,
# each running every n-th test of the binary (GoogleTest's sharding), so that
# a binary whose tests mostly wait on the meter runs beside itself.
set(NORVALE_TEST_PRINTERS ${CMAKE_CURRENT_LIST_DIR}/QtTestPrinters.h)
add_library(norvale_testmain STATIC ${CMAKE_CURRENT_LIST_DIR}/testmain.cpp)
target_link_libraries(norvale_testmain PUBLIC GTest::gtest Qt6::Widgets)
# TestWait.h, the tests' one wait helper.

function(norvale_add_gtest)
  cmake_parse_arguments(T "DBUS" "NAME;TIMEOUT;SHARDS" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE norvale_testmain ${T_LIBS})
  target_compile_options(${T_NAME} PRIVATE -include ${NORVALE_TEST_PRINTERS})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set(env "QT_QPA_PLATFORM=offscreen")
  set(command $<TARGET_FILE:${T_NAME}>)
  if(T_DBUS)
    list(APPEND env "XDG_DATA_DIRS=${CMAKE_BINARY_DIR}/share:/usr/share")
    set(command dbus-run-session -- $<TARGET_FILE:${T_NAME}>)
  endif()
  if(NOT T_SHARDS OR T_SHARDS LESS 2)
    add_test(NAME ${T_NAME} COMMAND ${command})
    set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${env}" TIMEOUT ${T_TIMEOUT}
                         LABELS "${T_LABELS}")
    return()
  endif()
  math(EXPR last "${T_SHARDS} - 1")
  foreach(i RANGE ${last})
    math(EXPR n "${i} + 1")
    add_test(NAME ${T_NAME}_${n} COMMAND ${command})
    set_tests_properties(${T_NAME}_${n} PROPERTIES
      ENVIRONMENT "${env};GTEST_TOTAL_SHARDS=${T_SHARDS};GTEST_SHARD_INDEX=${i}"
      TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
  endforeach()
endfunction()
