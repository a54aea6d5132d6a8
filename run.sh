#!/usr/bin/env bash
# Installs what the service needs and is missing (no test tools), builds it
# without the tests, and starts it on its default configuration (as root: it
# keeps its files in /etc/tovul, /var/tovul and /var/run). The service detaches; this script ends when it has started.
set -euo pipefail
cd "$(dirname "$0")"

bash scripts/deps.sh run
bash scripts/build.sh build -DBUILD_TESTING=OFF

status=0
build/bin/tovul || status=$?
port=$(sed -n 's/.*"httpPort"[^0-9]*\([0-9][0-9]*\).*/\1/p' /etc/tovul/tovul.json 2>/dev/null | head -1)
echo "Web interface: http://127.0.0.1:${port:-9527}/ (or this machine's address, as printed above)"
echo "Stop the service with: kill \$(pidof tovul)"
exit "$status"
