#!/usr/bin/env bash
# The per-run environment works: the display answers, Wine runs in the
# Chinese locale, exit codes pass through winerun.
set -euo pipefail
here=$(dirname "${BASH_SOURCE[0]}")
. "$here/env.sh"
fail() { echo "FAIL: $*" >&2; exit 1; }

xdpyinfo >/dev/null 2>&1 || fail "display $DISPLAY does not answer"
[ "$(locale charmap 2>/dev/null)" = UTF-8 ] || fail "LC_ALL=$LC_ALL is not a UTF-8 locale here"

rc=0
"$here/winerun" cmd /c exit 7 || rc=$?
[ "$rc" = 7 ] || fail "winerun gave exit code $rc, expected 7"

out=$("$here/winerun" reg query 'HKCU\Control Panel\International' /v LocaleName | tr -d '\r')
grep -q 'zh-CN' <<<"$out" || fail "prefix locale is not zh-CN: $out"

# Chinese arguments reach the Windows side intact; cmd writes a pipe in the
# console code page, 936 here.
out=$("$here/winerun" cmd /c echo 系统启动失败 | tr -d '\r' | iconv -f GBK -t UTF-8)
[ "$out" = 系统启动失败 ] || fail "Chinese argument came back as '$out'"
echo ok
