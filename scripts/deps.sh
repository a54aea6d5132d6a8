#!/usr/bin/env bash
# deps.sh [run|test]: installs what is missing, and only that.
#   run   what the service needs to build and run: the compiler and build
#         tools, its libraries, ffmpeg (the transcoder stand-in runs it), the
#         web build's tools and the web client's npm packages
#   test  all of that and what the tests add: GoogleTest, benchmark, libpng,
#         clang for the fuzz targets, Chromium and playwright-core for the
#         browser tests, the tools the tests drive (default)
set -euo pipefail

mode=${1:-test}
case "$mode" in
  run|test) ;;
  *) echo "usage: $0 [run|test]" >&2; exit 2 ;;
esac

RUN_PACKAGES=(
  g++ cmake make pkg-config
  libcjson-dev libmicrohttpd-dev libgnutls28-dev
  ffmpeg
  node-terser esbuild librsvg2-bin
)
TEST_PACKAGES=(
  libgtest-dev libgmock-dev
  libbenchmark-dev
  libpng-dev
  clang libclang-rt-14-dev
  chromium gnutls-bin
  curl iproute2 util-linux procps
  python3
)

PACKAGES=("${RUN_PACKAGES[@]}")
if [ "$mode" = test ]; then
  PACKAGES+=("${TEST_PACKAGES[@]}")
fi

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

# front-end packages from the lock file, into the ignored node_modules/; npm
# comes with the machine's Node.js. The service needs the web client's
# libraries only; the browser-test driver (a development package) is added
# for the tests.
root=$(cd "$(dirname "$0")/.." && pwd)
npm_flags=(--no-audit --no-fund --loglevel=error)
if [ "$mode" = run ]; then
  npm_flags+=(--omit=dev)
fi
if [ ! -f "$root/node_modules/.package-lock.json" ] || \
   [ "$root/package-lock.json" -nt "$root/node_modules/.package-lock.json" ] || \
   { [ "$mode" = test ] && [ ! -f "$root/node_modules/playwright-core/package.json" ]; }; then
  (cd "$root" && npm ci "${npm_flags[@]}")
fi
