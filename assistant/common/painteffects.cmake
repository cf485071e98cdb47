# Picture painting effects: one small library, linked by the Assistant and by
# the display component (each reports its errors under its own name).
add_library(norvale_painteffects STATIC
  ${CMAKE_CURRENT_LIST_DIR}/OleColor.cpp ${CMAKE_CURRENT_LIST_DIR}/OleColor.h
  ${CMAKE_CURRENT_LIST_DIR}/OleColorPrivate.h
  ${CMAKE_CURRENT_LIST_DIR}/PaintEffects.cpp ${CMAKE_CURRENT_LIST_DIR}/PaintEffects.h)
target_include_directories(norvale_painteffects PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(norvale_painteffects PUBLIC Qt6::Gui norvale_platform)
set_target_properties(norvale_painteffects PROPERTIES POSITION_INDEPENDENT_CODE ON)

norvale_add_gtest(NAME painteffects_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/test_painteffects.cpp
  LIBS norvale_painteffects Qt6::Widgets
  LABELS ui TIMEOUT 60)
