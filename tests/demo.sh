#!/usr/bin/env bash
# The kit's main jobs on demo data, after ./run has built everything:
#  1. the launcher Orvane.exe under Wine on a demo program folder: splash,
#     runtime check, the day's working copy, the start of the database
#     runtime (a stand-in that records its command line);
#  2. the updater Novaro.exe on the same folder: the package fetched from a
#     local web site, unpacked into the data folder by a stand-in archive
#     tool, with its log lines, the installation bar and the files before
#     and after;
#  3. Tallyrun costing a generated year ledger (natively), with a per-item summary.
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

say "Novaro.exe: an update of the data folder from a local web site"
# The site: /update/BKrar.xml, a package in the stand-in tool's own format
# ("KITPACK1", then name, size and bytes per file).
SITE=$DEMO/site
rm -rf "$SITE" && mkdir -p "$SITE/update"
pack() {
  printf 'KITPACK1\n'
  while [ $# -gt 0 ]; do printf '%s\n%s\n' "$1" "$(printf '%s' "$2" | wc -c)"; printf '%s' "$2"; shift 2; done
}
pack "S.cpl" "BM day picture (updated)" "更新说明.txt" "本次更新: 新报表" >"$SITE/update/BKrar.xml"
port=$((18000 + $$ % 1000))
python3 -m http.server "$port" --bind 127.0.0.1 --directory "$SITE" >/dev/null 2>&1 &
site=$!
trap 'kill $site 2>/dev/null || true; cleanup' EXIT
printf 'This locality moves\r\nBK\r\nhttp://127.0.0.1:%s\r\n' "$port" >"$SHOP/server.xml"
cp "$WINBIN/Novaro.exe" "$WINBIN/Lumvex.ocx" "$SHOP/"
cp "$WINBIN/rar_standin.exe" "$SHOP/rar.exe"   # stand-in archive tool: unpacks the demo format
touch "$SHOP/rar.exe.hold"                      # keeps it working until the bar is looked at
echo "data folder (the program folder) before:"; LC_ALL=C ls -l "$SHOP" | grep -v -e '\.exe' -e '\.ocx' -e '^total'
UI() { wine "$WINBIN/uiauto.exe" "$@" 2>/dev/null; }
TITLE='Orvane软件智能升级程序'
wine "$SHOP/Novaro.exe" &
novaro=$!
UI wait-window - "$TITLE" 30000 >/dev/null
UI click "$TITLE" 105
UI watch-text "$TITLE" 104 正在安装 正在安装...100% 120000 >/dev/null
echo "the log (lstOut):"; UI items "$TITLE" 103 | sed 's/^/  /'
echo "the status line (Label1): $(UI text "$TITLE" 104)"
import -window root "$DEMO/update_bar.png" 2>/dev/null && echo "bar screenshot: build/demo/update_bar.png"
rm -f "$SHOP/rar.exe.hold"
UI wait-dialog "" 30000 - press 1 | sed -n 's/^text=/message: /p'
wait "$novaro" || true
echo "what the archive tool was started with:"; cut -f5 "$SHOP/rar.exe.log"
echo "data folder after (package gone, files unpacked):"; LC_ALL=C ls -l "$SHOP" | grep -v -e '\.exe' -e '\.ocx' -e '^total'
echo "更新说明.txt: $(cat "$SHOP/更新说明.txt")"
kill $site 2>/dev/null || true

say "Tallyrun: FIFO costing of a generated year ledger (build/demo/ledger)"
LEDGER=$DEMO/ledger
cp "$NATIVE/Tallyrun" "$LEDGER/"
"$NATIVE/fifoledger" generate "$LEDGER" 2000 8 11 2011-12-31
"$LEDGER/Tallyrun"
echo "Tallyrun finished with status 0"
"$NATIVE/fifoledger" summary "$LEDGER/2011.db"
