#!/usr/bin/env bash
# Checks the package scripts/package.sh built (or the one named): lists its contents, runs
# lintian on it (failing on any error or warning but those about the
# maintainer's address, which STORMER_MAINTAINER sets), checks that its
# Installed-Size is what it installs, and runs the program
# from the unpacked package on 12 places. Where the package carries the
# project's FLINT, the run is made twice, and the loader must pick the
# x86-64-v3 copy on a processor with AVX2, then the plain copy when glibc is
# told to ignore AVX2.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-packages.sh lintian
package=${1:-$(ls build-package/stormer-pi_*.deb)}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "Contents of $package:"
dpkg-deb -c "$package"

lintian --fail-on none "$package" >"$work/lintian" 2>&1 || true
cat "$work/lintian"
if grep -E '^[EW]: ' "$work/lintian" | grep -v -E ': (bogus-mail-host|bogus-mail-host-in-debian-changelog) '; then
    echo "lintian: errors or warnings above" >&2
    exit 1
fi
echo "lintian: no error or warning beyond the maintainer's address"

dpkg-deb -x "$package" "$work/root"
work=$(realpath "$work")

# Installed-Size, in KiB, must be what the package installs, counted as
# dpkg-gencontrol counts it (each file and link its own size rounded up, each
# directory 1); within 1 %, as CPack rounds the sum and counts a directory at
# its size on disk.
declared=$(dpkg-deb -f "$package" Installed-Size)
installed=$(find "$work/root" -mindepth 1 -printf '%y %s\n' |
    awk '$1 == "f" || $1 == "l" { kib += int(($2 + 1023) / 1024); next } { kib += 1 } END { print kib }')
if [ $((declared * 100)) -lt $((installed * 99)) ] || [ $((declared * 100)) -gt $((installed * 101)) ]; then
    echo "Installed-Size says $declared KiB; the package installs $installed KiB" >&2
    exit 1
fi
echo "Installed-Size: $declared KiB, for $installed KiB of files"
# Runs the unpacked program on 12 places and prints the libflint it loaded.
run_and_name_flint() {
    printf '12\nn y\n' | env LD_DEBUG=libs "$@" "$work/root/usr/bin/stormer-pi" >"$work/out" 2>"$work/loader"
    grep -q '^ 3.141592653590$' "$work/out" || { cat "$work/out" >&2; echo "wrong digits" >&2; return 1; }
    realpath "$(sed -n 's|.*calling init: \(.*libflint[^ ]*\).*|\1|p' "$work/loader" | head -n 1)"
}
flint=$(run_and_name_flint)
echo "the unpacked program ran on 12 places with ${flint#"$work/root"}"
lib=$(find "$work/root/usr" -type d -path '*/lib*/stormer-pi' 2>/dev/null || true)
if [ -n "$lib" ]; then
    if grep -qw avx2 /proc/cpuinfo; then
        [ "$(dirname "$flint")" = "$lib/glibc-hwcaps/x86-64-v3" ] ||
            { echo "the x86-64-v3 copy was not picked on a processor with AVX2" >&2; exit 1; }
    fi
    flint=$(run_and_name_flint GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2)
    [ "$(dirname "$flint")" = "$lib" ] || { echo "the plain copy was not picked without AVX2" >&2; exit 1; }
    echo "and with AVX2 masked (GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2) with ${flint#"$work/root"}"
fi
