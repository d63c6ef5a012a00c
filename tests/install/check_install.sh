#!/bin/sh
# Installs the built library into a temporary prefix, then builds and runs a
# consumer, as C and as C++, three ways: find_package of the installed package,
# add_subdirectory of the source tree, and plain cc with pkg-config. The
# installed tree is also moved to another prefix to show pkg-config follows.
#   check_install.sh BUILD_DIR SOURCE_DIR
set -eu
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
consumer=$source/tests/install/consumer

cmake --install "$build" --prefix "$work/prefix" >/dev/null
test -f "$work/prefix/include/vexlin/vexlin.h"
test -f "$work/prefix/include/vexlin/internal/vexlin_stub_abi.h"

consume() { # way, cmake options
    way=$1 && shift && echo "== $way"
    cmake -S "$consumer" -B "$work/$way" -G Ninja "$@" >/dev/null
    cmake --build "$work/$way" >/dev/null
    "$work/$way/consumer_c" && "$work/$way/consumer_cpp"
}
consume package -DCMAKE_PREFIX_PATH="$work/prefix"
consume subdirectory -DVEXLIN_CONSUME=subdirectory -DVEXLIN_SOURCE_DIR="$source"

echo "== pkg-config, after moving the package to another prefix"
mv "$work/prefix" "$work/moved"
pc_dir=$(dirname "$(find "$work/moved" -name vexlin.pc)")
export PKG_CONFIG_PATH="$pc_dir"
libdir=$(pkg-config --variable=libdir vexlin)
cc -std=c99 -Wall -Wextra -Werror "$consumer/consumer.c" -o "$work/pc_c" $(pkg-config --cflags --libs vexlin)
c++ -x c++ -Wall -Wextra -Werror "$consumer/consumer.c" -o "$work/pc_cpp" $(pkg-config --cflags --libs vexlin)
LD_LIBRARY_PATH="$libdir" "$work/pc_c" && LD_LIBRARY_PATH="$libdir" "$work/pc_cpp"
echo "installed package consumed three ways"
