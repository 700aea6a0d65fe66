#!/usr/bin/env bash
# Installs the build tree to a temporary prefix, builds a small consumer
# against it with find_package and with pkg-config, runs both, and runs the
# installed tool, which finds its library without LD_LIBRARY_PATH.
# Arguments: the build directory, the source directory.
set -euo pipefail
build="$1"
source="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
lib="$(find "$work/prefix" -name 'libvarnex.so.1' | head -n 1)"
test -L "$work/prefix/lib/libvarnex.so" -o -L "${lib%.1}" || { echo "no libvarnex.so link"; exit 1; }
test -x "$work/prefix/bin/varnex"
test -f "$work/prefix/include/varnex/Varnex.h"
mkdir "$work/lists" "$work/lists2"

cmake -S "$source/tests/install/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
LD_LIBRARY_PATH="$(dirname "$lib")" "$work/consumer/consumer" "$work/lists"

pc_dir="$(dirname "$(find "$work/prefix" -name varnex.pc | head -n 1)")"
# shellcheck disable=SC2046
g++ -std=c++20 "$source/tests/install/consumer/main.cpp" -o "$work/pc-consumer" \
  $(PKG_CONFIG_PATH="$pc_dir" pkg-config --cflags --libs varnex)
LD_LIBRARY_PATH="$(dirname "$lib")" "$work/pc-consumer" "$work/lists2"
env -u LD_LIBRARY_PATH "$work/prefix/bin/varnex" --dir "$work/lists" show base >/dev/null
# Moved elsewhere, the tree still works.
mv "$work/prefix" "$work/moved"
env -u LD_LIBRARY_PATH "$work/moved/bin/varnex" --version >/dev/null
for path in lib/systemd/system/varnex-clean.service lib/systemd/system/varnex-follow.service \
  lib/sysusers.d/varnex.conf share/man/man1/varnex.1 share/bash-completion/completions/varnex; do
  test -f "$work/moved/$path" || { echo "the installation lacks $path"; exit 1; }
done
grep -q "^ExecStart=$work/prefix/bin/varnex clean" "$work/moved/lib/systemd/system/varnex-clean.service" ||
  { echo "the cleaner's unit does not run the installed tool"; exit 1; }
echo "install and consumers: ok"
