#!/usr/bin/env bash
# Builds the Debian package of this machine's release and architecture:
# build-package/stormer-pi_<version>_<arch>.deb, with the program in
# /usr/bin and its man page. The package's dependencies are those
# dpkg-shlibdeps finds for the libraries the program is linked against
# (CPack's shlibdeps step runs it, and `file` to pick out the programs).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-packages.sh dpkg-dev file
build_dir=build-package
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DSTORMER_TESTS=OFF -DSTORMER_BENCHMARKS=OFF >/dev/null
cmake --build "$build_dir" --target stormer-pi stormer-pi-man -j "$(nproc)"
rm -f "$build_dir"/stormer-pi_*.deb
(cd "$build_dir" && cpack -G DEB)
package=$(ls "$build_dir"/stormer-pi_*.deb)
echo "Package: $package"
dpkg-deb -I "$package" | grep -E '^ (Package|Version|Architecture|Depends):'
