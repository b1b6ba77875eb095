# The start-up of the launcher: the runtime check and the splash window's
# logic, over the launch road. Included from launcher/CMakeLists.txt.
add_library(launcher_start STATIC
  ${CMAKE_CURRENT_LIST_DIR}/runtime_check.cpp
  ${CMAKE_CURRENT_LIST_DIR}/intro.cpp)
kit_target_defaults(launcher_start)
target_link_libraries(launcher_start PUBLIC launcher_road platform)

if(NOT WIN32)
  add_executable(launcher_start_test
    ${CMAKE_CURRENT_LIST_DIR}/runtime_check_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/intro_test.cpp)
  kit_target_defaults(launcher_start_test)
  target_link_libraries(launcher_start_test PRIVATE launcher_start GTest::gtest_main)
  gtest_discover_tests(launcher_start_test)

  # Orvane.exe under Wine (needs the mingw64 build's programs).
  add_executable(orvane_wine_test ${CMAKE_CURRENT_LIST_DIR}/win/tests/orvane_wine_test.cpp)
  kit_target_defaults(orvane_wine_test)
  target_link_libraries(orvane_wine_test PRIVATE wine_harness SQLite::SQLite3 GTest::gtest_main)
  kit_add_wine_test(NAME orvane_wine COMMAND orvane_wine_test UI TIMEOUT 900)
endif()
