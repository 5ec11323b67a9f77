# Wine helpers shared by the scripts: one persistent wineserver per prefix
# for a whole run, so that each test program starts quickly.
ZP_WINE_TOP="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
ZP_WINE_RUN="$ZP_WINE_TOP/cmake/wine-run"

wine_server_start() {
  local prefix="$1"
  # Wine reads the printers from CUPS once per server session, in the first
  # program that loads the spooler, and the idle window below is that
  # program for the whole run: the test queue must exist before it starts.
  "$ZP_WINE_TOP/scripts/lib/cups.sh" ensure >/dev/null
  "$ZP_WINE_RUN" "$prefix" cmd /c rem >/dev/null 2>&1 || true   # creates the prefix on first use
  WINEPREFIX="$prefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
  WINEPREFIX="$prefix" /usr/lib/wine/wineserver -w 2>/dev/null || true
  WINEPREFIX="$prefix" /usr/lib/wine/wineserver -p
  # Start Wine's background services now, detached from every pipe: the
  # first test program would otherwise start them, and they would keep its
  # output pipe (and ctest with it) open for as long as the server lives.
  "$ZP_WINE_RUN" "$prefix" cmd /c rem </dev/null >/dev/null 2>&1 || true
  # The desktop process is started by the first program that opens a window,
  # and ends only a while after the last one has gone: started by a test, it
  # would hold that test's output pipe open while other tests keep the desktop
  # in use. An idle window of our own keeps one desktop, started here with no
  # pipes, for the whole run; wine_server_stop ends it.
  (cd / && setsid "$ZP_WINE_RUN" "$prefix" notepad.exe </dev/null >/dev/null 2>&1 &)
  local i
  for i in $(seq 1 100); do
    pgrep -f 'system32.notepad\.exe' >/dev/null && break
    sleep 0.1
  done
}

wine_server_stop() {
  local prefix="$1"
  WINEPREFIX="$prefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
}
