#!/usr/bin/env bash
# The kit's main jobs on demo data, after ./run has built everything:
#  1. the launcher Orvane.exe under Wine on a demo program folder: splash,
#     runtime check, the day's working copy, the start of the database
#     runtime (a stand-in that records its command line);
#  2. Tallyrun costing a generated year ledger (natively), with a per-item summary.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
NATIVE=$ROOT/build/native/bin
WINBIN=$ROOT/build/mingw64/bin
DEMO=$ROOT/build/demo
STATE=$DEMO/wine

say() { printf '\n== %s\n' "$*"; }

export KIT_SOURCE_DIR=$ROOT KIT_WIN_BIN=$WINBIN
cleanup() { "$ROOT/tests/wine/fixture.sh" cleanup "$STATE" >/dev/null 2>&1 || true; }
trap cleanup EXIT

# A fresh demo folder; an earlier run's temp folder may be read-only.
if [ -d "$DEMO/shop" ]; then chmod -R u+w "$DEMO/shop" 2>/dev/null || true; fi
rm -rf "$DEMO/shop" "$DEMO/ledger"
mkdir -p "$DEMO/shop/Office11" "$DEMO/ledger"

say "starting Xvfb and a Wine prefix (build/demo/wine)"
"$ROOT/tests/wine/fixture.sh" setup "$STATE" >/dev/null
# shellcheck source=wine/env.sh
KIT_WINE_STATE=$STATE . "$ROOT/tests/wine/env.sh"

say "demo program folder: build/demo/shop"
SHOP=$DEMO/shop
cp "$WINBIN/Orvane.exe" "$SHOP/"
cp "$WINBIN/recorder.exe" "$SHOP/regsvr32.exe"          # stand-in: records what it is asked to register
cp "$WINBIN/recorder.exe" "$SHOP/Office11/Msaccess.exe" # stand-in for the database runtime
printf 'DAO engine library (demo)' >"$SHOP/DAO360.DLL"
printf 'workgroup file (demo)' >"$SHOP/system.mdw"
printf 'BM day picture (demo)' >"$SHOP/S.cpl"
printf 'This locality moves\r\nBK\r\nhttp://127.0.0.1:8080\r\n' >"$SHOP/server.xml"
"$NATIVE/fifoledger" generate "$SHOP" 200 5 7 2011-12-31
WINSHOP=$(winepath -w "$SHOP" 2>/dev/null)
wine reg add 'HKLM\Software\Microsoft\Office\11.0\Access\InstallRoot' /v Path /t REG_SZ \
  /d "$WINSHOP\\Office11\\" /f /reg:32 >/dev/null 2>&1
ls -l "$SHOP"

say "running Orvane.exe (three-second countdown, animation, runtime check, launch)"
wine "$SHOP/Orvane.exe" &
orvane=$!
sleep 1.5
import -window root "$DEMO/splash.png" 2>/dev/null && echo "splash screenshot: build/demo/splash.png"
wait "$orvane" || true

stamp=$(date +%y%m%d)
say "the day's working copy"
ls -la "$SHOP/temp"
echo "usysbookind of the working copy (the application database itself is unchanged):"
sqlite3 -header -column "$SHOP/temp/$stamp.bar" 'SELECT yearnew, appath, path FROM usysbookind;'
say "what the runtime stand-in received"
for _ in $(seq 100); do [ -s "$SHOP/Office11/Msaccess.exe.log" ] && break; sleep 0.1; done
cat "$SHOP/Office11/Msaccess.exe.log"
say "what regsvr32 was asked"
cat "$SHOP/regsvr32.exe.log" 2>/dev/null || echo "(nothing)"

say "Tallyrun: FIFO costing of a generated year ledger (build/demo/ledger)"
LEDGER=$DEMO/ledger
cp "$NATIVE/Tallyrun" "$LEDGER/"
"$NATIVE/fifoledger" generate "$LEDGER" 2000 8 11 2011-12-31
"$LEDGER/Tallyrun"
echo "Tallyrun finished with status 0"
"$NATIVE/fifoledger" summary "$LEDGER/2011.db"
