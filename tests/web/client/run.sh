#!/usr/bin/env bash
# Runs one browser test file against the real daemon, inside private mount
# and network namespaces of its own: /etc and /var are overlaid with empty
# upper layers and /run is a fresh tmpfs, so the daemon's fixed folders and
# lock file are private to this run, and the fixed ports 9527 and 9528 live on
# a loopback of its own. Needs root.
#   run.sh BUILD_DIR TEST_FILE
set -euo pipefail

if [ "${TOVU_WEB_NS:-}" != 1 ]; then
  build=$(cd "$1" && pwd)
  file=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
  scratch=$(mktemp -d /tmp/tovul-web.XXXXXX)
  trap 'rm -rf "$scratch"' EXIT
  # not exec: the trap removes the scratch folder afterwards
  TOVU_WEB_NS=1 TOVU_WEB_SCRATCH="$scratch" \
    unshare -m -n --propagation private -- bash "$0" "$build" "$file"
  exit $?
fi

build=$1
file=$2
s=$TOVU_WEB_SCRATCH
ip link set lo up
# the upper layers live on a tmpfs, which takes overlay upper layers whatever
# file system /tmp is on
mount -t tmpfs tmpfs "$s"
mkdir -p "$s"/{etc-up,etc-work,var-up,var-work,tmp}
mount -t overlay overlay -o "lowerdir=/etc,upperdir=$s/etc-up,workdir=$s/etc-work" /etc
mount -t overlay overlay -o "lowerdir=/var,upperdir=$s/var-up,workdir=$s/var-work" /var
mount -t tmpfs tmpfs /run
mkdir -p /etc/tovul /var/tovul
# the marker tells the harness that the fixed folders are the private ones
touch /etc/tovul/.private-test-namespace

export TOVU_BUILD_DIR=$build
# every temporary file of the run (program copies, media, browser profile)
# goes with the tmpfs when the run ends
export TMPDIR=$s/tmp
# whatever the run leaves behind (a daemon or a transcoder after a failed or
# cut-short test) ends with it: every other process of this network namespace
reap() {
  local me pid
  me=$(readlink /proc/$$/ns/net)
  for p in /proc/[0-9]*; do
    pid=${p#/proc/}
    [ "$pid" = "$$" ] && continue
    [ "$(readlink "$p/ns/net" 2>/dev/null)" = "$me" ] && kill -9 "$pid" 2>/dev/null
  done
  return 0
}
trap 'reap; exit 143' TERM INT
# node runs in the background so that a stop signal reaches the trap at once
node "$file" &
status=0
wait $! || status=$?
reap
exit "$status"
