# Windows end-to-end tests under Wine, run from the native build.
# KIT_WIN_BUILD_DIR points at the mingw64 build whose bin/ holds the programs.
set(KIT_WIN_BUILD_DIR "${PROJECT_SOURCE_DIR}/build/mingw64" CACHE PATH "mingw64 build folder")

# kit_add_wine_test(NAME <name> COMMAND <command...> [UI])
# Registers a test labelled "wine" that needs the per-run Wine prefix.
# UI tests (windows, message boxes) run one at a time.
function(kit_add_wine_test)
  cmake_parse_arguments(ARG "UI" "NAME" "COMMAND" ${ARGN})
  add_test(NAME ${ARG_NAME} COMMAND ${ARG_COMMAND})
  set_tests_properties(${ARG_NAME} PROPERTIES LABELS wine TIMEOUT 600
    ENVIRONMENT "KIT_WIN_BIN=${KIT_WIN_BUILD_DIR}/bin;KIT_SOURCE_DIR=${PROJECT_SOURCE_DIR};KIT_WINE_STATE=${CMAKE_BINARY_DIR}/wine")
  if(ARG_UI)
    set_tests_properties(${ARG_NAME} PROPERTIES RESOURCE_LOCK wine_ui)
  endif()
endfunction()
