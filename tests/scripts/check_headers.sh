#!/bin/sh
# Every public header must compile on its own, and the umbrella header as
# well, as C99 and C11 and as C++98, C++11, C++17 and C++20, with each
# compiler found. The module contract headers need variadic macros, so they
# start at C99 and C++11.
#   check_headers.sh INCLUDE_DIR
set -u
include_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
checked=0

check() { # compiler language standard header
    printf '#include "%s"\nint vexlin_header_check_%s;\n' "$4" "$checked" > "$work/t.$2"
    if ! "$1" -x "$([ "$2" = c ] && echo c || echo c++)" -std="$3" -pedantic -Wall -Wextra -Werror \
            -I"$include_dir" -c "$work/t.$2" -o "$work/t.o" 2> "$work/err"; then
        echo "FAIL: $1 -std=$3 $4"; cat "$work/err"; failures=$((failures + 1))
    fi
    checked=$((checked + 1))
}

public="vexlin/vexlin_config.h vexlin/vexlin_common.h vexlin/vexlin_string.h vexlin/vexlin_init.h vexlin/vexlin_api.h vexlin/vexlin_ex_api.h vexlin/vexlin.h"
contract="vexlin/internal/vexlin_stub_abi.h vexlin/internal/vexlin_loader_abi.h vexlin/internal/vexlin_ex_common.h"

for cc in gcc clang; do
    command -v $cc >/dev/null 2>&1 || continue
    for h in $public $contract; do for std in c99 c11; do check $cc c $std "$h"; done; done
done
for cxx in g++ clang++; do
    command -v $cxx >/dev/null 2>&1 || continue
    for h in $public; do for std in c++98 c++11 c++17 c++20; do check $cxx cpp $std "$h"; done; done
    for h in $contract; do for std in c++11 c++17 c++20; do check $cxx cpp $std "$h"; done; done
done
echo "$checked header compilations, $failures failed"
[ "$failures" -eq 0 ] && [ "$checked" -gt 0 ]
