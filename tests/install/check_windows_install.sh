#!/usr/bin/env bash
# Installs the Windows build to a temporary prefix, builds a consumer against
# the installed DLL, import library and header with MinGW-w64, runs it under
# Wine (as several processes), and makes the ZIP. Arguments: the build
# directory, the source directory. Needs WINEPREFIX (and a running
# wineserver) from the caller.
set -euo pipefail
build="$1"
source="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
for file in bin/Varnex.dll lib/libVarnex.dll.a lib/Varnex.def include/varnex/Varnex.h \
  include/varnex/varnex_c.h include/varnex/VarnexFile.h README.md; do
  test -f "$work/prefix/$file" || { echo "the installation lacks $file"; exit 1; }
done
# The C interface is exported by its plain names (what other toolchains link).
for name in varnex_open varnex_match varnex_free_records; do
  grep -qw "$name" "$work/prefix/lib/Varnex.def" || { echo "Varnex.def lacks $name"; exit 1; }
done
# The DLL needs only the system's own DLLs.
imports="$(x86_64-w64-mingw32-objdump -p "$work/prefix/bin/Varnex.dll" | awk '/DLL Name:/ {print $3}' | sort | tr '\n' ' ')"
[ "$imports" = "ADVAPI32.dll KERNEL32.dll msvcrt.dll " ] || { echo "Varnex.dll imports $imports"; exit 1; }

cmake -S "$source/tests/install/windows_consumer" -B "$work/consumer" \
  -DCMAKE_TOOLCHAIN_FILE="$source/cmake/mingw-w64-x86_64.cmake" \
  -DVarnex_DIR="$work/prefix/lib/cmake/Varnex" >/dev/null
cmake --build "$work/consumer" >/dev/null
cp "$work/prefix/bin/Varnex.dll" "$work/consumer/"
(cd "$work/consumer" && unset VARNEX_SYSTEM_DIR && timeout 120 wine consumer.exe) | tr -d '\r'

# The tool, from the installation, on a list directory of its own.
if [ -f "$work/prefix/bin/varnex.exe" ]; then
  mkdir "$work/lists"
  lists="$(winepath -w "$work/lists")"
  tool() { (cd "$work/prefix/bin" && timeout 60 wine varnex.exe --dir "$lists" "$@") | tr -d '\r'; }
  tool add base --rule r1 --content '*.example.com' --key 15 >/dev/null
  [ "$(tool match base WWW.EXAMPLE.COM)" = match ] || { echo "varnex.exe: no match"; exit 1; }
  [ "$(tool check base)" = "base: ok" ] || { echo "varnex.exe: check failed"; exit 1; }
fi

(cd "$build" && cpack -G ZIP >/dev/null)
zip="$(ls -t "$build"/packages/*.zip | head -n 1)"  # the one just made
contents="$(unzip -l "$zip")"
for path in bin/Varnex.dll lib/libVarnex.dll.a lib/Varnex.def include/varnex/Varnex.h \
  include/varnex/varnex_c.h README.md; do
  grep -q "$path" <<<"$contents" || { echo "$zip lacks $path"; exit 1; }
done
if [ -n "$(ls "$build"/tools/varnex/varnex.exe 2>/dev/null)" ]; then
  grep -q "bin/varnex.exe" <<<"$contents" || { echo "$zip lacks bin/varnex.exe"; exit 1; }
fi
echo "Windows install, consumer and ZIP: ok"
