#!/usr/bin/env bash
# Builds FLINT for this project from Debian's source package, twice: once for
# x86-64-v3 with FLINT's small-prime FFT (fft_small, which needs AVX2 and is
# off in Debian's own FLINT packages), once for plain amd64. The build then
# uses it instead of the system's FLINT (CMakeLists.txt), and the loader
# picks the v3 copy on processors with AVX2, the plain one elsewhere.
#
#   scripts/build-flint.sh
#
#   STORMER_FLINT_DIR  where the build lives (default: build-flint in the
#                      checkout); build-flint is then a symbolic link to it,
#                      so CI can keep one build between fresh clones.
#
# Layout under build-flint/install:
#   include/flint/...                          the v3 copy's headers
#   lib/libflint.so*                           the plain amd64 copy
#   lib/glibc-hwcaps/x86-64-v3/libflint.so*    the x86-64-v3 copy
#   lib/pkgconfig/flint.pc                     relocatable (${pcfiledir})
#   share/doc/flint/copyright                  FLINT's, for the package
# and build-flint/complete once both copies are there. A second run does
# nothing, unless the copies there were built by an older recipe (complete
# names the recipe): then it builds them again. Until the plain copy is
# built, lib/libflint.so* points at the v3 copy so that the program can be
# built meanwhile.
set -euo pipefail
cd "$(dirname "$0")/.."
checkout=$PWD
link=$checkout/build-flint
dir=${STORMER_FLINT_DIR:-$link}
oldest_flint=3.1
# What the copies are built with beyond FLINT's defaults, named in
# build-flint/complete: a build by another recipe is made again. FLINT's
# calls to its own functions are bound when it is linked
# (-Bsymbolic-functions), not by the loader at every start: an empty run of
# the program takes a third of the instructions.
recipe="hardened (relro, now), own calls bound at link time (-Bsymbolic-functions)"
link_flags="-Wl,-z,relro -Wl,-z,now -Wl,-Bsymbolic-functions"

say() { printf '%s\n' "build-flint: $*"; }
fail() { printf '%s\n' "build-flint: $*" >&2; exit 1; }

# The folder, or the link to it.
if [ "$dir" != "$link" ]; then
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd -P)
    if [ -L "$link" ] || [ ! -e "$link" ]; then
        ln -sfn "$dir" "$link"
    elif [ "$(cd "$link" && pwd -P)" != "$dir" ]; then
        fail "$link is a folder of its own; remove it to keep the build in $dir"
    fi
fi
mkdir -p "$dir"
dir=$(cd "$dir" && pwd -P)

if [ -e "$dir/complete" ] && [ -e "$dir/install/lib/libflint.so" ]; then
    if grep -qF "$recipe" "$dir/complete"; then
        say "$(cat "$dir/complete") is built already in $dir"
        exit 0
    fi
    say "the copies in $dir were built by an older recipe ($(cat "$dir/complete")): building them again"
    rm -rf "$dir/complete" "$dir/install" "$dir"/stage-* "$dir"/build-*
fi

if [ "$(uname -m)" != x86_64 ] || ! grep -qw avx2 /proc/cpuinfo; then
    say "this processor has no AVX2, which FLINT's small-prime FFT needs:" \
        "nothing built, the system's FLINT stays in use"
    exit 0
fi

say "builds FLINT twice from Debian's source package: about 13 CPU-minutes" \
    "(7 to 10 minutes on two cores), 0.4 GB while building, 30 MB kept in $dir"
started=$(date +%s)

scripts/install-packages.sh autoconf automake libtool m4 dpkg-dev make gcc

# A private apt configuration: its own source list, package lists and
# cache under the build folder, so the system's stay as they are. The
# mirror and key are those of the system's own entry for its release.
apt_dir=$dir/apt
system_archive() {
    local codename files
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    files=$(ls /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
    [ -n "$files" ] || return 0
    # deb822 stanzas: the first whose Suites hold the release's codename.
    # shellcheck disable=SC2086
    awk -v codename="$codename" '
        function flush() {
            if (uris != "" && types ~ /(^| )deb( |$)/ && (codename == "" || (" " suites " ") ~ (" " codename " ")) && !done) {
                split(uris, u, " "); print u[1], (key == "" ? "-" : key); done = 1
            }
            uris = ""; types = ""; suites = ""; key = ""
        }
        FILENAME ~ /\.sources$/ {
            if (FNR == 1) flush()
            if ($0 ~ /^[ \t]*$/) { flush(); next }
            if (tolower($1) == "uris:") { $1 = ""; sub(/^ +/, ""); uris = $0 }
            if (tolower($1) == "types:") { $1 = ""; types = $0 }
            if (tolower($1) == "suites:") { $1 = ""; sub(/^ +/, ""); suites = $0 }
            if (tolower($1) == "signed-by:") { $1 = ""; sub(/^ +/, ""); key = $0 }
            next
        }
        FNR == 1 { flush() }
        $1 == "deb" && !done {
            uri = ""; opts = ""; for (i = 2; i <= NF; i++) {
                if ($i ~ /^\[/) { while ($i !~ /\]$/) { opts = opts " " $i; i++ } opts = opts " " $i; continue }
                uri = $i; suite = $(i + 1); break
            }
            if (codename == "" || suite == codename) {
                key = "-"; if (match(opts, /signed-by=[^] ]+/)) key = substr(opts, RSTART + 10, RLENGTH - 10)
                print uri, key; done = 1
            }
        }
        END { flush() }' $files
}
read -r archive key < <(system_archive) || true
[ -n "${archive:-}" ] || fail "no Debian archive found in the system's apt sources"
[ "${key:--}" != - ] || key=/usr/share/keyrings/debian-archive-keyring.gpg
apt_options=(-o Dir::Etc::sourcelist=/dev/null -o Dir::Etc::sourceparts="$apt_dir/sources"
             -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache"
             -o Dir::State::status=/dev/null -o APT::Sandbox::User="$(id -un)")

source_dir=$dir/source
if [ ! -e "$source_dir/unpacked" ]; then
    rm -rf "$apt_dir" "$source_dir"
    mkdir -p "$apt_dir/sources" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$source_dir"
    # The newest suites first; the newest FLINT among them is taken.
    cat >"$apt_dir/sources/flint.sources" <<EOF
Types: deb-src
URIs: $archive
Suites: unstable testing stable
Components: main
Signed-By: $key
EOF
    say "reading the source package lists of $archive (unstable, testing, stable)..."
    apt-get "${apt_options[@]}" -qq update
    version=$(apt-cache "${apt_options[@]}" showsrc flint | sed -n 's/^Version: //p' | sort -V | tail -n 1)
    [ -n "$version" ] || fail "no source package of FLINT on offer"
    dpkg --compare-versions "$version" ge "$oldest_flint" || fail "FLINT $version is older than $oldest_flint"
    say "fetching FLINT $version..."
    (cd "$source_dir" && apt-get "${apt_options[@]}" -qq source --download-only "flint=$version" >/dev/null)
    (cd "$source_dir" && dpkg-source --no-check -x flint_*.dsc flint >/dev/null)
    say "making FLINT's configure script (autoreconf)..."
    (cd "$source_dir/flint" && ./bootstrap.sh >"$source_dir/bootstrap.log" 2>&1) || {
        tail -n 20 "$source_dir/bootstrap.log" >&2
        fail "bootstrap failed (log: $source_dir/bootstrap.log)"
    }
    # FLINT's licence notice, for the package that bundles it.
    mkdir -p "$dir/notice"
    cp "$source_dir/flint/debian/copyright" "$dir/notice/copyright"
    echo "$version" >"$source_dir/unpacked"
    rm -rf "$apt_dir"
fi
version=$(cat "$source_dir/unpacked")
upstream=${version%-*}

# Builds one copy: $1 is its name, $2 the system type given to configure,
# which picks the instruction set (pinned: configure's own guess may ask
# for a -march this compiler lacks and then quietly drop fft_small). Both
# copies are built for configure's plain x86_64 family (x86_64v3 is a
# member), so both have the same assembly choice: FLINT's inline assembly
# for plain x86-64, and no ADX assembly (x86-64-v3 does not include ADX;
# the plain copy must run anywhere). So the headers of both agree, and
# flint_mpn_mul's inline dispatch indexes the same table whichever copy the
# loader picks. No CFLAGS: configure would then turn AVX2, and with it
# fft_small, off.
build_copy() {
    local name=$1 type=$2 tree=$dir/build-$1 stage=$dir/stage-$1
    if [ -e "$stage/built" ]; then return 0; fi
    rm -rf "$tree" "$stage"
    cp -a "$source_dir/flint" "$tree"
    say "[$name] configuring for $type..."
    (cd "$tree" && env -u CFLAGS CPPFLAGS=-D_FORTIFY_SOURCE=2 LDFLAGS="$link_flags" \
        ./configure --build="$type" --prefix=/ --disable-static >"$dir/configure-$name.log" 2>&1) || {
        tail -n 20 "$dir/configure-$name.log" >&2
        fail "[$name] configure failed (log: $dir/configure-$name.log)"
    }
    local total done=0 step=0 line
    total=$(find "$tree/src" -name '*.c' -not -path '*/test/*' -not -path '*/profile/*' \
        -not -path '*/tune/*' -not -path '*/examples/*' | wc -l)
    say "[$name] compiling about $total files ($(grep -m 1 -o -- '-march=[^ ]*' "$tree/Makefile" || echo 'no -march'))..."
    # Progress: a line that rewrites itself on a terminal, a line each tenth
    # of the way otherwise; the compiler's own output goes to the log.
    set +e
    nice -n 10 make -C "$tree" -j "$(nproc)" library 2>&1 | tee "$dir/make-$name.log" | while IFS= read -r line; do
        case $line in "  CC  "*) ;; *) continue ;; esac
        done=$((done + 1))
        if [ -t 1 ]; then
            printf '\rbuild-flint: [%s] %d of about %d files' "$name" "$done" "$total"
        elif [ $((done * 10 / total)) -gt "$step" ]; then
            step=$((done * 10 / total))
            say "[$name] $((step * 10))% ($done files)"
        fi
    done
    local status=${PIPESTATUS[0]}
    set -e
    [ -t 1 ] && echo
    if [ "$status" -ne 0 ]; then
        grep -B2 -A8 -m 3 'error' "$dir/make-$name.log" >&2 || tail -n 20 "$dir/make-$name.log" >&2
        fail "[$name] make failed (log: $dir/make-$name.log)"
    fi
    make -C "$tree" install DESTDIR="$stage" >"$dir/install-$name.log" 2>&1
    touch "$stage/built"
    rm -rf "$tree"
}

config_h() { echo "$dir/stage-$1/include/flint/flint-config.h"; }

# Puts a copy's shared library (the file and its links) in $2, without its
# debugging information (a quarter of the size; the symbols stay).
place_library() {
    mkdir -p "$2"
    cp -a "$dir/stage-$1"/lib/libflint.so* "$2"/
    strip --strip-debug "$2"/libflint.so.*.*
}

install=$dir/install

build_copy v3 x86_64v3-pc-linux-gnu
grep -q '^#define FLINT_HAVE_FFT_SMALL 1' "$(config_h v3)" ||
    fail "the x86-64-v3 copy was built without fft_small (FLINT_HAVE_FFT_SMALL is not set in $(config_h v3))"
if [ ! -e "$install/include/flint/flint.h" ]; then
    rm -rf "$install"
    mkdir -p "$install/include" "$install/lib/pkgconfig"
    cp -a "$dir/stage-v3/include/flint" "$install/include/"
    mkdir -p "$install/share/doc/flint"
    cp "$dir/notice/copyright" "$install/share/doc/flint/copyright"
    place_library v3 "$install/lib/glibc-hwcaps/x86-64-v3"
    # Meanwhile the v3 copy stands in for the plain one.
    for file in "$install"/lib/glibc-hwcaps/x86-64-v3/libflint.so*; do
        ln -sfn "glibc-hwcaps/x86-64-v3/$(basename "$file")" "$install/lib/$(basename "$file")"
    done
    sed -e 's|^prefix=.*|prefix=${pcfiledir}/../..|' "$dir/stage-v3/lib/pkgconfig/flint.pc" >"$install/lib/pkgconfig/flint.pc"
    say "the x86-64-v3 copy is in $install (the plain copy comes next)"
fi

build_copy baseline x86_64-pc-linux-gnu
# Beyond fft_small and the instruction set, the copies' configurations
# must be the same: the program is compiled against one set of headers.
differences=$(diff -r -I FFT_SMALL -I AVX "$dir/stage-v3/include" "$dir/stage-baseline/include" || true)
[ -z "$differences" ] || fail "the two copies are configured differently: $differences"
rm -f "$install"/lib/libflint.so*
place_library baseline "$install/lib"
echo "FLINT $upstream (Debian's $version; fft_small for x86-64-v3; $recipe)" >"$dir/complete"
rm -rf "$dir/stage-v3" "$dir/stage-baseline" "$source_dir" "$dir/notice"

elapsed=$(( $(date +%s) - started ))
say "done in $((elapsed / 60)) min $((elapsed % 60)) s: $(cat "$dir/complete") in $install ($(du -sh "$dir" | cut -f1))"
