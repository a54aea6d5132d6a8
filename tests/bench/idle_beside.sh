#!/bin/bash
# idle_beside.sh - the idle daemon's own CPU, as a share of one core, alone
# and beside N unrelated processes (sleeps of this script's own), so that a
# cost of the daemon that grows with what the host runs shows.  Needs root:
# the daemon runs in private namespaces (tests/fixtures/run_daemon_ns.sh)
# with a configuration of no channels.
#
#   sudo tests/bench/idle_beside.sh [--bin DIR] [N [SECONDS]]
#
#   --bin DIR   folder of the program (default: build/bin of this tree)
#   N           unrelated processes beside it (default 3000, at most 5000)
#   SECONDS     length of each measurement (default 30, at most 300)
#
# Prints one line per measurement: "alone" and "beside N", each the share of
# one core that the daemon used over SECONDS.  The sleeps end by themselves
# SECONDS + 60 seconds after they start at the latest, and are ended by the
# script before it ends.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

if [ "${1:-}" = --inner ]; then
    n=$2 secs=$3
    daemon=
    for p in $(pgrep -x tovul 2>/dev/null); do
        [ "$(readlink "/proc/$p/ns/net")" = "$(readlink /proc/self/ns/net)" ] && daemon=$p
    done
    [ -n "$daemon" ] || { echo "idle_beside.sh: the daemon is not running" >&2; cat "$TOVU_DAEMON_OUT" >&2; exit 1; }
    hz=$(getconf CLK_TCK)
    ticks() { awk '{ sub(/.*\) /, ""); print $12 + $13 }' "/proc/$daemon/stat"; }
    measure() {
        local before after
        before=$(ticks)
        sleep "$secs"
        after=$(ticks)
        awk -v t=$((after - before)) -v hz="$hz" -v s="$secs" -v what="$1" \
            'BEGIN { printf "%-12s %.3f %% of a core (%d ticks in %d s)\n", what, 100 * t / hz / s, t, s }'
    }
    sleep 3   # the start-up's own work done
    measure alone

    pids=()
    cleanup() { [ ${#pids[@]} -gt 0 ] && kill "${pids[@]}" 2>/dev/null; wait 2>/dev/null || true; }
    trap cleanup EXIT
    for _ in $(seq "$n"); do
        sleep $((secs + 60)) &
        pids+=($!)
    done
    sleep 3
    measure "beside $n"
    exit 0
fi

bin=$root/build/bin n=3000 secs=30
if [ "${1:-}" = --bin ]; then bin=$2; shift 2; fi
[ $# -gt 0 ] && n=$1
[ $# -gt 1 ] && secs=$2
[ "$n" -le 5000 ] || { echo "idle_beside.sh: at most 5000 processes" >&2; exit 2; }
[ "$secs" -le 300 ] || { echo "idle_beside.sh: at most 300 seconds" >&2; exit 2; }

etc=$(mktemp -d /tmp/tovu_idle_XXXXXX)
trap 'rm -rf "$etc"' EXIT
printf '{"name": "idle", "global": {"log": 0, "autoRestart": 1}, "channels": []}\n' > "$etc/tovul.json"
"$root/tests/fixtures/run_daemon_ns.sh" --etc "$etc" --bin "$bin" --wait-port -- "$0" --inner "$n" "$secs"
