#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running kelcache
# need. Only missing packages are installed, and the package lists are updated
# first only when something is missing, so a second run does nothing.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev
  libboost-dev libspdlog-dev libfmt-dev libxxhash-dev libutfcpp-dev libhiredis-dev libcli11-dev
  libleveldb-dev
  redis-server redis-tools
  clang libclang-rt-14-dev
  libssl-dev openssl
  locales
)

missing=()
for package in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi
echo "Installing missing packages: ${missing[*]}"
$SUDO apt-get update -qq
# sudo resets the environment, so the variable goes through env.
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
