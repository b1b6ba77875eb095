#!/usr/bin/env bash
# Per-run Wine environment for the end-to-end tests: one X display (Xvfb) and
# one Wine prefix, both owned by a state folder, so that several build folders
# can run their tests at the same time without touching each other.
#
#   fixture.sh setup   <state-dir>   start Xvfb, make the prefix, write <state-dir>/env
#   fixture.sh cleanup <state-dir>   end this prefix's wineserver and this Xvfb only
#
# Inputs (environment, all optional):
#   KIT_SOURCE_DIR      source tree (default: two folders up from this script)
#   KIT_LOCPATH         folder for a private zh_CN.UTF-8 locale when the system
#                       has none (default: $KIT_SOURCE_DIR/build/locale)
#   KIT_WINE_TEMPLATE   cache of a freshly made prefix, copied for every run
#                       (default: $KIT_SOURCE_DIR/build/wine-template)
#   KIT_WIN_BIN         the Windows build's bin/; its uiauto.exe keeps Wine's
#                       desktop process alive for the run when present
#
# <state-dir>/env holds one KEY=value per line (no quoting); tests/wine/env.sh
# and the C++ harness read it.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
action=${1:?usage: fixture.sh setup|cleanup <state-dir>}
state=${2:?usage: fixture.sh setup|cleanup <state-dir>}
# Wine takes only an absolute WINEPREFIX; a relative one would make the
# clean-up miss this run's wineserver.
state=$(realpath -m "$state")
source_dir=${KIT_SOURCE_DIR:-$(cd "$here/../.." && pwd)}
locpath=${KIT_LOCPATH:-$source_dir/build/locale}
template=${KIT_WINE_TEMPLATE:-$source_dir/build/wine-template}
prefix=$state/prefix
kit_locale=zh_CN.UTF-8

log() { printf '[wine-fixture] %s\n' "$*"; }

# Our own Xvfb only: the pid file must name a live Xvfb process.
stop_xvfb() {
  [ -f "$state/xvfb.pid" ] || return 0
  local pid
  pid=$(cat "$state/xvfb.pid")
  if [ -n "$pid" ] && [ "$(cat /proc/"$pid"/comm 2>/dev/null)" = Xvfb ]; then
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do
      [ -d /proc/"$pid" ] && [ "$(cat /proc/"$pid"/comm 2>/dev/null)" = Xvfb ] || break
      sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
  fi
  rm -f "$state/xvfb.pid"
}

stop_wineserver() {
  [ -d "$prefix" ] || return 0
  WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
  WINEPREFIX=$prefix timeout 30 wineserver -w 2>/dev/null || true
}

cleanup() {
  stop_wineserver
  stop_xvfb
  rm -f "$state/env"
}

# Chinese file names and arguments pass through Wine intact only under a
# zh_CN.UTF-8 C library locale; a fresh machine may not have it generated.
locale_env() {
  if locale -a 2>/dev/null | grep -qix 'zh_CN.utf8'; then
    LOCPATH_VALUE=
    return 0
  fi
  mkdir -p "$locpath"
  (
    flock 9
    if [ ! -d "$locpath/$kit_locale" ]; then
      log "generating the $kit_locale locale in $locpath"
      localedef -i zh_CN -f UTF-8 "$locpath/$kit_locale" 2>/dev/null || true
    fi
  ) 9>"$locpath/.lock"
  if [ "$(LOCPATH=$locpath LC_ALL=$kit_locale locale charmap 2>/dev/null)" != UTF-8 ]; then
    echo "the $kit_locale locale is missing and could not be generated in $locpath" >&2
    exit 1
  fi
  LOCPATH_VALUE=$locpath
}

with_locale() {
  if [ -n "$LOCPATH_VALUE" ]; then
    LOCPATH=$LOCPATH_VALUE LC_ALL=$kit_locale "$@"
  else
    LC_ALL=$kit_locale "$@"
  fi
}

start_xvfb() {
  rm -f "$state/display"
  # -displayfd lets the server pick a free display number itself; setsid keeps
  # it out of the test's process group so it outlives this setup step.
  setsid Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp \
    3>"$state/display" </dev/null >"$state/xvfb.log" 2>&1 &
  local pid=$!
  echo "$pid" >"$state/xvfb.pid"
  for _ in $(seq 100); do
    if [ -s "$state/display" ] && grep -q '[0-9]' "$state/display"; then break; fi
    if ! kill -0 "$pid" 2>/dev/null; then
      cat "$state/xvfb.log" >&2
      echo "Xvfb did not start" >&2
      exit 1
    fi
    sleep 0.1
  done
  DISPLAY_VALUE=:$(tr -dc '0-9' <"$state/display")
  [ "$DISPLAY_VALUE" != : ] || { echo "Xvfb gave no display number" >&2; exit 1; }
}

# A fresh prefix takes about ten seconds to make; a copy of a cached one two.
make_template() {
  local key
  key="$(wine --version 2>/dev/null) $kit_locale $(id -u)"
  mkdir -p "$template"
  (
    flock 9
    if [ "$(cat "$template/key" 2>/dev/null)" != "$key" ] || [ ! -f "$template/prefix/system.reg" ]; then
      log "making the Wine prefix template in $template"
      rm -rf "$template/prefix"
      # No Mono or Gecko install prompts: nothing here needs them.
      with_locale env WINEPREFIX="$template/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
        DISPLAY="$DISPLAY_VALUE" wineboot -i >"$template/wineboot.log" 2>&1
      WINEPREFIX="$template/prefix" wineserver -w
      echo "$key" >"$template/key"
    fi
  ) 9>"$template/.lock"
}

setup() {
  mkdir -p "$state"
  cleanup
  locale_env
  start_xvfb
  make_template
  # Tests may leave folders without write permission behind.
  chmod -R u+w "$prefix" "$state/runs" 2>/dev/null || true
  rm -rf "$prefix" "$state/runs"
  cp -a "$template/prefix" "$prefix"
  mkdir -p "$state/runs"

  # LOCPATH first: a shell that reads the file sets LC_ALL after it.
  : >"$state/env"
  [ -z "$LOCPATH_VALUE" ] || echo "LOCPATH=$LOCPATH_VALUE" >>"$state/env"
  cat >>"$state/env" <<EOF
WINEPREFIX=$prefix
DISPLAY=$DISPLAY_VALUE
LC_ALL=$kit_locale
WINEDEBUG=-all
WINEDLLOVERRIDES=mscoree,mshtml=
EOF

  # One persistent wineserver for the whole run: programs start faster, and
  # no test's output pipes are held open by a server a test happened to start.
  with_locale env WINEPREFIX="$prefix" WINEDEBUG=-all wineserver -p </dev/null >"$state/wineserver.log" 2>&1
  # Start Wine's own services now, detached from any test's output.
  with_locale env WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
    DISPLAY="$DISPLAY_VALUE" wine cmd /c exit </dev/null >>"$state/wineserver.log" 2>&1 || true
  if [ -n "${KIT_WIN_BIN:-}" ] && [ -f "$KIT_WIN_BIN/uiauto.exe" ]; then
    # Ended with everything else by wineserver -k at clean-up.
    with_locale env WINEPREFIX="$prefix" WINEDEBUG=-all DISPLAY="$DISPLAY_VALUE" \
      setsid wine "$KIT_WIN_BIN/uiauto.exe" hold-desktop </dev/null >>"$state/wineserver.log" 2>&1 &
  fi
  log "display $DISPLAY_VALUE, prefix $prefix"
}

case "$action" in
  setup) setup ;;
  cleanup) cleanup ;;
  *) echo "usage: fixture.sh setup|cleanup <state-dir>" >&2; exit 2 ;;
esac
