#!/usr/bin/env bash
# Builds the Debian packages (libvarnex1, libvarnex-dev, varnex and their
# debug symbols) from debian/ in a copy of the source tree, checks them with
# lintian, and puts them in OUTDIR (default build/debian). Fails when the
# build fails or lintian reports an error or a warning.
#   scripts/build-deb.sh [OUTDIR]
set -euo pipefail
source_dir="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$source_dir/build/debian}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The files of the checkout (tracked, or new and not ignored); a tree that is
# not a git checkout is copied without its build directories.
mkdir "$work/varnex"
if git -C "$source_dir" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git -C "$source_dir" ls-files -co --exclude-standard -z |
    (cd "$source_dir" && tar --null -T - -cf -) | tar -xf - -C "$work/varnex"
else
  tar -C "$source_dir" --exclude=./build --exclude=./.git -cf - . | tar -xf - -C "$work/varnex"
fi

echo "building the Debian packages (log: $out/build.log)"
if ! (cd "$work/varnex" && dpkg-buildpackage -us -uc -b -j"$(nproc)") >"$out/build.log" 2>&1; then
  tail -n 40 "$out/build.log"
  echo "build-deb: dpkg-buildpackage failed" >&2
  exit 1
fi
cp "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo "$out"/
changes="$(ls "$out"/varnex_*.changes | head -n 1)"
lintian --display-info --pedantic "$changes" 2>/dev/null | tee "$out/lintian.txt"
if grep -Eq '^(E|W): ' "$out/lintian.txt"; then
  echo "build-deb: lintian reports errors or warnings" >&2
  exit 1
fi
echo "packages in $out:"
ls "$out"/*.deb
