#!/usr/bin/env bash
# Builds and tests the program on another Debian release, as a new user there
# would: makes a minimal root of that release with debootstrap (from Debian's
# own packages, its default mirror), copies a clean export of this checkout
# in, runs the README's test command inside (which installs what it needs),
# then builds the Debian package, installs it there and runs stormer-pi from
# the PATH on a small size. Needs root.
#
#   scripts/test-on-debian.sh trixie
#
# The root is kept under build-debian/RELEASE between runs (packages already
# installed there stay); STORMER_DEBIAN_DIR=/some/folder keeps it under that
# folder instead, so that CI can keep one root between fresh clones. /proc, /dev and /dev/pts are bound into it only while
# it is in use, and always unmounted before anything under it is removed: a
# root deleted with /dev still bound into it takes the host's device files
# with it.
set -euo pipefail
cd "$(dirname "$0")/.."
release=${1:?usage: scripts/test-on-debian.sh RELEASE (for example trixie)}
if [ "$(id -u)" -ne 0 ]; then
    echo "debootstrap and chroot need root" >&2
    exit 1
fi
if ! command -v debootstrap >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
fi

cache=${STORMER_DEBIAN_DIR:-$PWD/build-debian}/$release
root=$cache/root
mkdir -p "$cache"

# Mount points under the root, deepest first.
mounted_under_root() { awk -v top="$root/" 'index($2 "/", top) == 1 {print $2}' /proc/mounts | sort -r; }
unmount_all() {
    local point
    for point in $(mounted_under_root); do
        umount "$point" 2>/dev/null || umount -l "$point"
    done
    if [ -n "$(mounted_under_root)" ]; then
        echo "still mounted under $root: $(mounted_under_root | xargs)" >&2
        return 1
    fi
}
# Removes a folder under the root, but only once nothing is mounted there.
remove_under_root() {
    unmount_all
    rm -rf --one-file-system "$1"
}
trap unmount_all EXIT

if [ ! -e "$cache/complete" ]; then
    remove_under_root "$root"
    echo "Making a minimal Debian $release root (debootstrap)..."
    debootstrap --variant=minbase "$release" "$root" >"$cache/debootstrap.log" 2>&1 || {
        tail -n 20 "$cache/debootstrap.log" >&2
        exit 1
    }
    touch "$cache/complete"
fi

# A clean export: the files git knows (committed or not), nothing built.
remove_under_root "$root/stormer-pi"
mkdir -p "$root/stormer-pi"
git ls-files -z --cached --others --exclude-standard | while IFS= read -r -d '' file; do
    [ -e "$file" ] && printf '%s\0' "$file"
done | tar --null -T - -cf - | tar -xf - -C "$root/stormer-pi"

mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"

echo "Testing on Debian $release ($(cat "$root/etc/debian_version"))..."
chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    LANG=C.UTF-8 CI="${CI:-}" /bin/bash -euo pipefail -c '
    cd /stormer-pi
    scripts/test.sh
    scripts/package.sh
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq ./build-package/stormer-pi_*.deb >/dev/null
    cd /tmp
    printf "12\ny y\n" | stormer-pi >session.txt
    grep -q "^ 3.141592653590$" session.txt
    grep -q "^Decimal places = 12" "12 dps pi.text"
    echo "stormer-pi from $(command -v stormer-pi) ran: $(grep -c . session.txt) lines, file saved"
    man -w stormer-pi >/dev/null 2>&1 || test -e /usr/share/man/man1/stormer-pi.1.gz
'
unmount_all
echo "Debian $release: passed"
