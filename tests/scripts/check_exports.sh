#!/bin/sh
# The shared library exports exactly the functions of its version script,
# and needs nothing but the C library at run time.
#   check_exports.sh LIBRARY VERSION_SCRIPT [NM] [READELF]
set -u
lib=$1
map=$2
nm=${3:-nm}
readelf=${4:-readelf}
expected=$(grep -oE '^[[:space:]]+vexlin_[a-z0-9_]+;' "$map" | tr -d ' ;\t' | sort)
actual=$("$nm" -D --defined-only "$lib" | awk '$2 != "A" {sub(/@.*/, "", $3); print $3}' | sort)
status=0
if [ "$expected" != "$actual" ]; then
    echo "exported symbols differ from the version script (< script, > library):"
    printf '%s\n' "$expected" > /tmp/vexlin_exp.$$
    printf '%s\n' "$actual" | diff -u /tmp/vexlin_exp.$$ -
    rm -f /tmp/vexlin_exp.$$
    status=1
fi
count=$(printf '%s\n' "$actual" | grep -c .)
if [ "$count" -ne 93 ]; then
    echo "expected 93 exported functions, found $count"; status=1
fi
needed=$("$readelf" -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
if [ "$needed" != "libc.so.6" ]; then
    echo "needed libraries must be the C library alone, found:"; echo "$needed"; status=1
fi
nonfunc=$("$nm" -D --defined-only "$lib" | awk '$2 != "T" && $2 != "A"')
if [ -n "$nonfunc" ]; then
    echo "exported non-functions:"; echo "$nonfunc"; status=1
fi
[ $status -eq 0 ] && echo "93 exported functions, needs only libc.so.6"
exit $status
