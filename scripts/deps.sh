#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing.
set -euo pipefail

XEL_PACKAGES=(
  cmake ninja-build g++ pkg-config ccache
  libssl-dev libgtest-dev libgmock-dev libbenchmark-dev libxml2-dev
  libpam0g-dev libacl1-dev libsmbclient-dev samba iproute2
  dpkg-dev file help2man lintian
)

missing=()
for p in "${XEL_PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
