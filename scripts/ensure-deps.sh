#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.
set -euo pipefail
packages=(build-essential gcc-multilib cmake libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev
          libmodbus-dev libtomlplusplus-dev mbpoll socat
          libmosquitto-dev libssl-dev nlohmann-json3-dev mosquitto mosquitto-clients openssl
          libsystemd-dev systemd)
# Sparkplug B payloads: the protobuf-c runtime and its compiler.
packages+=(libprotobuf-c-dev protobuf-c-compiler)
missing=()
# Debian packages and their checks: bash-completion, dpkg-shlibdeps, file, lintian, pkg-config.
packages+=(bash-completion dpkg-dev file lintian pkgconf)
# The gateway's HTTP status endpoint, and the browser its status-page test runs headless.
packages+=(libcpp-httplib-dev chromium)
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

# promtool checks the gateway's /metrics. Debian has it only in the prometheus package, whose
# install starts a Prometheus server: the one program is taken out of the package instead.
if ! command -v promtool >/dev/null; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  work=$(mktemp -d) && chmod 755 "$work" # apt-get download runs as _apt
  # Without package lists (nothing else was missing) the download needs them first.
  (cd "$work" && { apt-get download -qq prometheus 2>/dev/null ||
    { $SUDO apt-get update -qq && apt-get download -qq prometheus; }; } &&
    dpkg-deb -x prometheus_*.deb root)
  $SUDO install -m 755 "$work/root/usr/bin/promtool" /usr/local/bin/promtool
  rm -rf "$work"
fi
