# Sourced by test scripts: exports the per-run Wine environment that the
# CTest fixture "wine" wrote (WINEPREFIX, DISPLAY, LC_ALL, WINEDEBUG,
# WINEDLLOVERRIDES and, when the system lacks zh_CN.UTF-8, LOCPATH).
#   KIT_WINE_STATE   state folder of the fixture (set by kit_add_wine_test;
#                    default: build/native/wine of this source tree)
# It returns non-zero when the fixture has not run.
: "${KIT_WINE_STATE:=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/build/native/wine}"
export KIT_WINE_STATE
if [ ! -f "$KIT_WINE_STATE/env" ]; then
  echo "no Wine environment in $KIT_WINE_STATE (run the wine_setup test first)" >&2
  return 1 2>/dev/null || exit 1
fi
while IFS= read -r kit_env_line || [ -n "$kit_env_line" ]; do
  case "$kit_env_line" in
    # bash warns when LC_ALL names a locale only LOCPATH finds; children find it.
    *=*) export "${kit_env_line%%=*}=${kit_env_line#*=}" 2>/dev/null ;;
  esac
done <"$KIT_WINE_STATE/env"
unset kit_env_line
