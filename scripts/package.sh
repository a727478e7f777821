#!/usr/bin/env bash
# Builds the Debian package of this machine's release and architecture:
# build-package/stormer-pi_<version>_<arch>.deb, with the program in
# /usr/bin, its man page, copyright file and changelog. Where
# scripts/build-flint.sh has built FLINT, the package carries it in
# /usr/lib/<multiarch>/stormer-pi (a plain amd64 copy, and an x86-64-v3 copy the loader
# picks on processors with AVX2); otherwise it depends on the system's. Its
# dependencies are those dpkg-shlibdeps finds for the libraries the program
# and the carried FLINT are linked against (CPack's shlibdeps step runs it,
# and `file` to pick out the programs).
#   STORMER_MAINTAINER  "Name <address>" for the package's Maintainer field
#   further arguments go to cmake, e.g. -DSTORMER_SYSTEM_FLINT=ON
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-packages.sh dpkg-dev file
if [ -e build-flint/install ] && [ ! -e build-flint/complete ]; then
    echo "build-flint holds half a FLINT build: scripts/build-flint.sh finishes it" >&2
    exit 1
fi
build_dir=build-package
configured=$(cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DSTORMER_TESTS=OFF -DSTORMER_BENCHMARKS=OFF "$@")
grep 'FLINT:' <<<"$configured" || true
cmake --build "$build_dir" --target stormer-pi stormer-pi-man stormer-pi-doc stormer-pi-flint -j "$(nproc)"
rm -f "$build_dir"/stormer-pi_*.deb
(cd "$build_dir" && cpack -G DEB)
package=$(ls "$build_dir"/stormer-pi_*.deb)
echo "Package: $package"
dpkg-deb -I "$package" | grep -E '^ (Package|Version|Architecture|Maintainer|Depends):'
