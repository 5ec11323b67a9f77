# Wine helpers shared by the scripts: one persistent wineserver per prefix
# for a whole run, so that each test program starts quickly.
ZP_WINE_RUN="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/cmake/wine-run"

wine_server_start() {
  local prefix="$1"
  "$ZP_WINE_RUN" "$prefix" cmd /c rem >/dev/null 2>&1 || true   # creates the prefix on first use
  WINEPREFIX="$prefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
  WINEPREFIX="$prefix" /usr/lib/wine/wineserver -w 2>/dev/null || true
  WINEPREFIX="$prefix" /usr/lib/wine/wineserver -p
  # Start Wine's background services now, detached from every pipe: the
  # first test program would otherwise start them, and they would keep its
  # output pipe (and ctest with it) open for as long as the server lives.
  "$ZP_WINE_RUN" "$prefix" cmd /c rem </dev/null >/dev/null 2>&1 || true
}

wine_server_stop() {
  local prefix="$1"
  WINEPREFIX="$prefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
}
