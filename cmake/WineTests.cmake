# Windows end-to-end tests under Wine, run from the native build.
# KIT_WIN_BUILD_DIR points at the mingw64 build whose bin/ holds the programs
# and the test helper programs (uiauto.exe, recorder.exe, ...).
set(KIT_WIN_BUILD_DIR "${PROJECT_SOURCE_DIR}/build/mingw64" CACHE PATH "mingw64 build folder")
# The per-run state (Wine prefix, X display, program folders) of this build.
set(KIT_WINE_STATE "${CMAKE_BINARY_DIR}/wine")
# Screenshots and other files a test keeps for a person to look at.
set(KIT_ARTIFACTS "${CMAKE_BINARY_DIR}/artifacts")

# One X display and one Wine prefix per test run: the fixture "wine".
add_test(NAME wine_setup COMMAND ${PROJECT_SOURCE_DIR}/tests/wine/fixture.sh setup ${KIT_WINE_STATE})
add_test(NAME wine_cleanup COMMAND ${PROJECT_SOURCE_DIR}/tests/wine/fixture.sh cleanup ${KIT_WINE_STATE})
set_tests_properties(wine_setup PROPERTIES FIXTURES_SETUP wine LABELS wine TIMEOUT 300
  ENVIRONMENT "KIT_SOURCE_DIR=${PROJECT_SOURCE_DIR};KIT_WIN_BIN=${KIT_WIN_BUILD_DIR}/bin")
set_tests_properties(wine_cleanup PROPERTIES FIXTURES_CLEANUP wine LABELS wine TIMEOUT 120
  ENVIRONMENT "KIT_SOURCE_DIR=${PROJECT_SOURCE_DIR}")

# kit_add_wine_test(NAME <name> COMMAND <command...> [UI] [TIMEOUT <s>] [ENV <K=V>...])
# Registers a test labelled "wine" that needs the per-run Wine prefix. Its
# environment carries KIT_WIN_BIN (the Windows programs), KIT_SOURCE_DIR,
# KIT_WINE_STATE (read by tests/wine/env.sh and the wine_harness library) and
# KIT_ARTIFACTS. UI tests (windows, message boxes) run one at a time.
function(kit_add_wine_test)
  cmake_parse_arguments(ARG "UI" "NAME;TIMEOUT" "COMMAND;ENV" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 600)
  endif()
  set(env KIT_WIN_BIN=${KIT_WIN_BUILD_DIR}/bin KIT_SOURCE_DIR=${PROJECT_SOURCE_DIR}
    KIT_WINE_STATE=${KIT_WINE_STATE} KIT_ARTIFACTS=${KIT_ARTIFACTS} ${ARG_ENV})
  add_test(NAME ${ARG_NAME} COMMAND ${ARG_COMMAND})
  set_tests_properties(${ARG_NAME} PROPERTIES LABELS wine TIMEOUT ${ARG_TIMEOUT}
    FIXTURES_REQUIRED wine ENVIRONMENT "${env}")
  if(ARG_UI)
    set_tests_properties(${ARG_NAME} PROPERTIES RESOURCE_LOCK wine_ui)
  endif()
endfunction()
