#!/bin/sh
# Writes the package's copyright file in Debian's machine-readable format:
# this project's own paragraphs and, where the package bundles FLINT,
# FLINT's paragraphs as its Debian source package gives them, with its
# source paths put under flint/ so that they do not claim this project's.
# The format's address (the Format field) is the one dpkg's own copyright
# file gives, or failing that any installed package's.
#
#   debian-copyright.sh OUTPUT OURS [FLINT_COPYRIGHT FLINT_VERSION]
set -eu
output=$1 ours=$2 flint=${3:-} version=${4:-}
format_line='^Format: .*copyright-format/1\.0/\{0,1\}$'
format=$(grep -h -m 1 "$format_line" /usr/share/doc/dpkg/copyright 2>/dev/null ||
    find /usr/share/doc -name copyright -exec grep -h -m 1 "$format_line" {} + 2>/dev/null | head -n 1)
if [ -z "$format" ]; then
    echo "debian-copyright.sh: no installed copyright file gives the format's address" >&2
    exit 1
fi
{
    echo "$format"
    if [ -z "$flint" ]; then
        cat "$ours"
    else
        awk -v version="$version" '
            !done && /^[ \t]*$/ {
                print "Comment: The package bundles FLINT " version ", in a library folder of its"
                print " own, built from Debian'"'"'s source package flint. FLINT'"'"'s copyright and"
                print " licence paragraphs follow, with its source paths under flint/."
                done = 1
            }
            { print }' "$ours"
        echo
        awk '
            header { if ($0 ~ /^[ \t]*$/) header = 0; next }
            /^Files:/ { line = "Files:"; for (i = 2; i <= NF; i++) line = line " flint/" $i; print line; files = 1; next }
            files && /^[ \t]/ { line = ""; for (i = 1; i <= NF; i++) line = line " flint/" $i; print line; next }
            { files = 0; print }' header=1 "$flint"
    fi
} >"$output"
