#!/usr/bin/env bash
# Test-only tools from npm: Eclipse Tahu's Sparkplug B payload codec (tests/sparkplug), the
# independent decoder of the gateway's Sparkplug tests. Installed from the lock file, once.
set -euo pipefail
cd "$(dirname "$0")/../tests/sparkplug"
if ! command -v npm >/dev/null; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq nodejs npm
fi
if [ ! -d node_modules/sparkplug-payload ]; then
  npm ci --no-audit --no-fund --loglevel=error
fi
