#!/usr/bin/env bash
# Makes sure the Debian packages the build and the tests need are present:
# installs the missing ones when run as root, or names them and fails.
set -euo pipefail

packages=(g++ cmake make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libgmp-dev libmpfr-dev libflint-arb-dev "$@")
missing=()
for package in "${packages[@]}"; do
    if [ "$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null)" != "install ok installed" ]; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}"
else
    echo "Missing Debian packages; install them as root with:" >&2
    echo "  apt-get install ${missing[*]}" >&2
    exit 1
fi
