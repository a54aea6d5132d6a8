#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the service need,
# only those that are not installed yet.
set -euo pipefail

PACKAGES=(
  g++ cmake make pkg-config
  libgtest-dev libgmock-dev
  libcjson-dev libmicrohttpd-dev libgnutls28-dev
  ffmpeg
  libbenchmark-dev
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
