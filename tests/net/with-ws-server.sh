#!/usr/bin/env bash
# Runs a test program with the independent `ws` echo server beside it:
#   with-ws-server.sh NODE_MODULES PROGRAM [ARGS...]
# The server's port is handed over in ZP_WS_PORT; the server ends with the test.
set -uo pipefail
modules="$1"; shift
dir="$(cd "$(dirname "$0")" && pwd)"
fifo="$(mktemp -u)"; mkfifo "$fifo"
out="$(mktemp)"
NODE_PATH="$modules" node "$dir/peers/ws_server.js" 0 < "$fifo" > "$out" &
server=$!
exec 9>"$fifo"   # the server lives while this stays open
for _ in $(seq 100); do grep -q '^PORT ' "$out" && break; sleep 0.1; done
export ZP_WS_PORT="$(sed -n 's/^PORT //p' "$out" | head -n 1)"
"$@"
status=$?
exec 9>&-
kill "$server" 2>/dev/null; wait "$server" 2>/dev/null
rm -f "$fifo" "$out"
exit $status
