#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the service need,
# only those that are not installed yet.
set -euo pipefail

PACKAGES=(
  g++ cmake make pkg-config
  libgtest-dev libgmock-dev
  libcjson-dev libmicrohttpd-dev libgnutls28-dev libpng-dev
  ffmpeg
  libbenchmark-dev
  clang libclang-rt-14-dev
  chromium node-terser esbuild librsvg2-bin gnutls-bin
  curl iproute2 util-linux procps
  python3
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# front-end packages (web client libraries, browser-test driver) from the
# lock file, into the ignored node_modules/; npm comes with the machine's Node.js
root=$(cd "$(dirname "$0")/.." && pwd)
if [ ! -f "$root/node_modules/.package-lock.json" ] || \
   [ "$root/package-lock.json" -nt "$root/node_modules/.package-lock.json" ]; then
  (cd "$root" && npm ci --no-audit --no-fund --loglevel=error)
fi
