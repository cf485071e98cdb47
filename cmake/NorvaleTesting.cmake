# norvale_add_gtest(NAME name SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s] [DBUS])
# Builds a GoogleTest binary linked with the shared main (QCoreApplication or
# QApplication offscreen) and registers it with CTest. DBUS runs the binary
# under its own session bus.
set(NORVALE_TEST_PRINTERS ${CMAKE_CURRENT_LIST_DIR}/QtTestPrinters.h)
add_library(norvale_testmain STATIC ${CMAKE_CURRENT_LIST_DIR}/testmain.cpp)
target_link_libraries(norvale_testmain PUBLIC GTest::gtest Qt6::Widgets)
# TestWait.h, the tests' one wait helper.
target_include_directories(norvale_testmain PUBLIC ${CMAKE_CURRENT_LIST_DIR})

function(norvale_add_gtest)
  cmake_parse_arguments(T "DBUS" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE norvale_testmain ${T_LIBS})
  target_compile_options(${T_NAME} PRIVATE -include ${NORVALE_TEST_PRINTERS})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  if(T_DBUS)
    add_test(NAME ${T_NAME}
             COMMAND dbus-run-session -- $<TARGET_FILE:${T_NAME}>)
    set_tests_properties(${T_NAME} PROPERTIES
      ENVIRONMENT "XDG_DATA_DIRS=${CMAKE_BINARY_DIR}/share:/usr/share;QT_QPA_PLATFORM=offscreen")
  else()
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
  endif()
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
endfunction()
