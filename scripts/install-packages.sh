#!/usr/bin/env bash
# Makes sure the Debian packages the build and the tests need are present:
# installs the missing ones when run as root, or names them and fails.
# Further package names given as arguments are wanted too.
#
# Arb is inside FLINT from FLINT 3 on (libflint-dev); with FLINT 2 it comes
# apart (libflint-arb-dev). Which one is wanted follows from what the
# system's package lists offer, not from the release's name.
set -euo pipefail

packages=(g++ cmake make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libgmp-dev libmpfr-dev libflint-dev "$@")

installed() { [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]; }
offered() { apt-cache show "$1" >/dev/null 2>&1 && [ -n "$(apt-cache show --no-all-versions "$1" 2>/dev/null)" ]; }
# Arb apart is wanted where the FLINT on offer (or installed) is older than 3.
arb_apart_wanted() {
    if installed libflint-arb-dev; then return 0; fi
    local version
    version=$(dpkg-query -W -f='${Version}' libflint-dev 2>/dev/null || true)
    [ -n "$version" ] || version=$(apt-cache show --no-all-versions libflint-dev 2>/dev/null | sed -n 's/^Version: //p')
    [ -n "$version" ] && dpkg --compare-versions "$version" lt 3 && offered libflint-arb-dev
}

missing_packages() {
    local wanted=("${packages[@]}")
    if arb_apart_wanted; then
        wanted+=(libflint-arb-dev)
    fi
    for package in "${wanted[@]}"; do
        installed "$package" || echo "$package"
    done
}

missing=($(missing_packages))
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    missing=($(missing_packages)) # the lists may only now say what FLINT is on offer
    echo "Installing: ${missing[*]}"
    apt-get install -y -qq "${missing[@]}"
else
    echo "Missing Debian packages; install them as root with:" >&2
    echo "  apt-get install ${missing[*]}" >&2
    exit 1
fi
