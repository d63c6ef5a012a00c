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

echo "== find_package"
cmake -S "$consumer" -B "$work/package" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/package" >/dev/null
"$work/package/consumer_c"
"$work/package/consumer_cpp"

echo "== add_subdirectory"
cmake -S "$consumer" -B "$work/subdirectory" -G Ninja -DVEXLIN_CONSUME=subdirectory \
    -DVEXLIN_SOURCE_DIR="$source" >/dev/null
cmake --build "$work/subdirectory" >/dev/null
"$work/subdirectory/consumer_c"
"$work/subdirectory/consumer_cpp"

echo "== pkg-config, after moving the package to another prefix"
mv "$work/prefix" "$work/moved"
pc_dir=$(dirname "$(find "$work/moved" -name vexlin.pc)")
export PKG_CONFIG_PATH="$pc_dir"
libdir=$(pkg-config --variable=libdir vexlin)
cc -std=c99 -Wall -Wextra -Werror "$consumer/consumer.c" -o "$work/pc_c" $(pkg-config --cflags --libs vexlin)
c++ -x c++ -Wall -Wextra -Werror "$consumer/consumer.c" -o "$work/pc_cpp" $(pkg-config --cflags --libs vexlin)
LD_LIBRARY_PATH="$libdir" "$work/pc_c"
LD_LIBRARY_PATH="$libdir" "$work/pc_cpp"
echo "installed package consumed three ways"
