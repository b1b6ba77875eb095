#!/usr/bin/env bash
# The benchmarks, each reporting ratios measured in one run (the machine may
# be shared, so absolute times vary; the ratios are what to compare).
#   ./run bench                       all of them
#   ./run bench launcher|download|fifo|fifo-pg|control|updater   one of them
# The control's benchmark under Wine (1 GiB through Lumvex.ocx) and the
# updater's (its installation animation, and how soon the completion message
# follows the archive tool's end) run with the end-to-end fixture; the others
# are native.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
NATIVE=$ROOT/build/native
BENCH=$ROOT/build/bench
mkdir -p "$BENCH"
which=${1:-all}

say() { printf '\n== %s\n' "$*"; }

if [ "$which" = all ] || [ "$which" = launcher ]; then
  say "launcher: start after the animation vs a plain copy of a 50 MB application database"
  rm -rf "$BENCH/launcher"
  (cd "$BENCH" && "$NATIVE/bin/orvane_bench" "$BENCH/launcher" 50 5)
fi
if [ "$which" = all ] || [ "$which" = download ]; then
  say "download control (engine + libcurl): 1 GiB on loopback vs the curl command line"
  "$NATIVE/bin/dlbench" --size-mib 1024 --dir "$BENCH" --rounds 2
fi
if [ "$which" = all ] || [ "$which" = fifo ]; then
  say "Tallyrun vs the floor of its own I/O and the sqlite3 command line's"
  (cd "$BENCH" && "$NATIVE/bin/fifocost_bench" 50000 200000 800000)
fi
if [ "$which" = all ] || [ "$which" = fifo-pg ]; then
  say "Tallyrun on a PostgreSQL server vs that server's floor (own server, waiting for the disk)"
  export KIT_PG_STATE=$BENCH/pg
  KIT_PG_FSYNC=on "$ROOT/tests/pg/fixture.sh" setup "$KIT_PG_STATE"
  "$NATIVE/bin/fifocost_bench" --postgres 200000 800000 || status=$?
  "$ROOT/tests/pg/fixture.sh" cleanup "$KIT_PG_STATE"
  [ -z "${status:-}" ] || exit "$status"
fi
if [ "$which" = all ] || [ "$which" = control ]; then
  say "Lumvex.ocx under Wine: 1 GiB on loopback vs the curl command line"
  export KIT_SOURCE_DIR=$ROOT KIT_WIN_BIN=$ROOT/build/mingw64/bin KIT_WINE_STATE=$BENCH/wine
  export KIT_ARTIFACTS=$BENCH/artifacts
  trap '"$ROOT/tests/wine/fixture.sh" cleanup "$KIT_WINE_STATE" >/dev/null 2>&1 || true' EXIT
  "$ROOT/tests/wine/fixture.sh" setup "$KIT_WINE_STATE" >/dev/null
  KIT_BENCH=1 "$NATIVE/bin/lumvex_wine_test" --gtest_filter='*Benchmark*'
fi
if [ "$which" = all ] || [ "$which" = updater ]; then
  say "Novaro.exe under Wine: the 7999-step installation animation, and the completion box after the tool's end"
  export KIT_SOURCE_DIR=$ROOT KIT_WIN_BIN=$ROOT/build/mingw64/bin KIT_WINE_STATE=$BENCH/wine-updater
  export KIT_ARTIFACTS=$BENCH/artifacts
  # Also ends the control's fixture when both ran (one EXIT trap at a time).
  trap 'for s in "$BENCH/wine" "$BENCH/wine-updater"; do "$ROOT/tests/wine/fixture.sh" cleanup "$s" >/dev/null 2>&1 || true; done' EXIT
  "$ROOT/tests/wine/fixture.sh" setup "$KIT_WINE_STATE" >/dev/null
  echo "-- on the test display as it is (Xvfb without a window manager)"
  KIT_BENCH=1 "$NATIVE/bin/novaro_wine_test" --gtest_filter='*Benchmark*' | grep -E '^round|FAILED'
  # Hiding a captioned window makes Wine wait up to 2 s for a window manager
  # to withdraw it; the bare test display has none. Told so, Wine does not wait.
  echo "-- with Wine told that no window manager runs (X11 Driver, Managed=N)"
  (. "$ROOT/tests/wine/env.sh" && wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1)
  KIT_BENCH=1 "$NATIVE/bin/novaro_wine_test" --gtest_filter='*Benchmark*' | grep -E '^round|FAILED'
  "$ROOT/tests/wine/fixture.sh" cleanup "$KIT_WINE_STATE" >/dev/null 2>&1 || true
fi
