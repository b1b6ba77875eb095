#!/usr/bin/env bash
# The benchmarks, each reporting ratios measured in one run (the machine may
# be shared, so absolute times vary; the ratios are what to compare).
#   ./run bench                       all of them
#   ./run bench launcher|download|fifo|fifo-pg|control   one of them
# The control's benchmark under Wine (1 GiB through Lumvex.ocx) runs with the
# end-to-end fixture; the others are native.
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
  say "Tallyrun vs the floor of its own I/O"
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
