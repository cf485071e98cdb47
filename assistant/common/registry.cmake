# cRegistry: the settings wrapper over the registry store.
add_library(assistant_common_registry STATIC
  ${CMAKE_CURRENT_LIST_DIR}/cRegistry.cpp ${CMAKE_CURRENT_LIST_DIR}/cRegistry.h)
target_include_directories(assistant_common_registry PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(assistant_common_registry PUBLIC norvale_registry norvale_platform Qt6::Core)
set_target_properties(assistant_common_registry PROPERTIES POSITION_INDEPENDENT_CODE ON)

norvale_add_gtest(NAME assistant_common_registry_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/test_cRegistry.cpp
  LIBS assistant_common_registry
  LABELS assistant registry TIMEOUT 60)
