#!/usr/bin/env bash
# Runs the Win32 platform tests of the mingw64 build in the per-run Wine
# environment (KIT_WIN_BIN and KIT_SOURCE_DIR come from kit_add_wine_test).
set -euo pipefail
exe="${KIT_WIN_BIN:?}/platform_win_test.exe"
[ -f "$exe" ] || { echo "missing $exe: build the mingw64 preset first" >&2; exit 1; }
exec "${KIT_SOURCE_DIR:?}/tests/wine/winerun" "$exe" --gtest_color=no
