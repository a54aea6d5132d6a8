#!/usr/bin/env bash
# Installs what is missing, builds, and starts the service on its default
# configuration.
set -euo pipefail
cd "$(dirname "$0")"

bash scripts/deps.sh
bash scripts/build.sh build

if [ ! -x build/bin/tovul ]; then
  echo "Everything that exists is built; the service itself (build/bin/tovul) is not built yet."
  exit 0
fi
exec build/bin/tovul
