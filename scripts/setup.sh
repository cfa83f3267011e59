#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (the completion test loads
# bash-completion, the JSON lines test parses with python3), only those that are missing.
# Usage: scripts/setup.sh [extra-package ...]
set -euo pipefail

packages=(cmake g++ make libgtest-dev bash-completion python3 "$@")
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
