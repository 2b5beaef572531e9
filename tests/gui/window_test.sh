#!/usr/bin/env bash
# With a display and +Visible=Always the log window shows and stays open after the run; closing
# it ends the program with the run's exit code. Run under xvfb-run.
set -u
telvik=$1
closer=$2
log=$(mktemp)
trap 'rm -f "$log"' EXIT

"$telvik" +Visible=Always 2>"$log" &
pid=$!
window=
for _ in $(seq 1 300); do
    window=$(xdotool search --name '^Telvik V1\.20\.02 $' 2>/dev/null | head -n 1)
    [ -n "$window" ] && break
    sleep 0.1
done
if [ -z "$window" ]; then
    echo "FAIL: no window with the caption appeared"
    kill "$pid" 2>/dev/null
    exit 1
fi
# The run is over long before this; the window must still be there.
sleep 0.5
if ! kill -0 "$pid" 2>/dev/null; then
    echo "FAIL: the program ended although its window was shown"
    exit 1
fi
"$closer" "$window"
for _ in $(seq 1 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
if kill -0 "$pid" 2>/dev/null; then
    echo "FAIL: closing the window did not end the program"
    kill -9 "$pid"
    exit 1
fi
wait "$pid"
rc=$?
if [ "$rc" -ne 69 ]; then
    echo "FAIL: exit code $rc, expected 69"
    cat "$log"
    exit 1
fi
if ! grep -q 'Info:  Telvik' "$log"; then
    echo "FAIL: with a window the log must go to standard error as well"
    exit 1
fi
echo "window test passed (exit code $rc)"
