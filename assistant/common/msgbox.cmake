# The message window MsgBox and its form frmMsg.
add_library(norvale_msgbox STATIC
  ${CMAKE_CURRENT_LIST_DIR}/MsgBox.cpp ${CMAKE_CURRENT_LIST_DIR}/MsgBox.h)
target_include_directories(norvale_msgbox PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(norvale_msgbox PUBLIC Qt6::Widgets norvale_painteffects
  PRIVATE norvale_bitmaps)
set_target_properties(norvale_msgbox PROPERTIES POSITION_INDEPENDENT_CODE ON)

norvale_add_gtest(NAME msgbox_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/test_msgbox.cpp
  LIBS norvale_msgbox Qt6::Test
  LABELS ui TIMEOUT 60)
