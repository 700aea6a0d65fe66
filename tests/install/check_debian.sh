#!/usr/bin/env bash
# Builds the Debian packages with scripts/build-deb.sh (which fails on any
# lintian error or warning) and checks what an operator gets: the split into
# library, development files and tool; the account made at installation;
# units that run the installed tool as that account, hardened to an exposure
# of at most 2.0 by `systemd-analyze security`; and a cleaner and a follower
# that make no system call outside the units' filter. Argument: the source
# directory.
set -euo pipefail
source_dir="$1"
work="$(mktemp -d)"
cleanup() {
  [ -n "${pid:-}" ] && kill -KILL "$pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

"$source_dir/scripts/build-deb.sh" "$work/out" >/dev/null || fail "the packages did not build cleanly"
deb() { ls "$work"/out/"$1"_*.deb; }
contents() { dpkg-deb -c "$(deb "$1")" | awk '{print $6}'; }
expect_in() {
  local package="$1"
  shift
  for path in "$@"; do
    grep -qx "\./$path" <<<"$(contents "$package")" || fail "$package lacks $path"
  done
}
expect_not_in() {
  local package="$1" pattern="$2"
  if grep -Eq "$pattern" <<<"$(contents "$package")"; then fail "$package holds $pattern"; fi
}
multiarch="$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
expect_in libvarnex1 "usr/lib/$multiarch/libvarnex.so.1.2.0" "usr/lib/$multiarch/libvarnex.so.1"
expect_not_in libvarnex1 'include|bin/|\.so$'
expect_in libvarnex-dev usr/include/varnex/Varnex.h usr/include/varnex/varnex_c.h \
  usr/include/varnex/VarnexFile.h "usr/lib/$multiarch/libvarnex.so" \
  "usr/lib/$multiarch/pkgconfig/varnex.pc" "usr/lib/$multiarch/cmake/Varnex/VarnexConfig.cmake"
expect_in varnex usr/bin/varnex usr/share/man/man1/varnex.1.gz \
  usr/share/bash-completion/completions/varnex usr/lib/sysusers.d/varnex.conf \
  lib/systemd/system/varnex-clean.service lib/systemd/system/varnex-follow.service
expect_not_in varnex 'libvarnex|include'
# The operator's documentation: the README and the follower's example
# settings.
grep -Eq '^\./usr/share/doc/varnex/README\.md(\.gz)?$' <<<"$(contents varnex)" ||
  fail "varnex lacks the README"
expect_in varnex usr/share/doc/varnex/examples/follow.env
expect_in python3-varnex usr/lib/python3/dist-packages/varnex/__init__.py
grep -q 'libvarnex1 (>= 1.2' <<<"$(dpkg-deb -f "$(deb python3-varnex)" Depends)" ||
  fail "python3-varnex does not depend on the library with the C interface"
for package in libvarnex1 libvarnex-dev varnex python3-varnex; do
  expect_in "$package" "usr/share/doc/$package/copyright" "usr/share/doc/$package/changelog.gz"
done
# (Each output is taken whole first: grep -q leaving a pipe early would fail
# the pipeline under pipefail.)
control_files="$(dpkg-deb --ctrl-tarfile "$(deb libvarnex1)" | tar -tf -)"
grep -qx ./symbols <<<"$control_files" || fail "no symbols file"
postinst="$(dpkg-deb --ctrl-tarfile "$(deb varnex)" | tar -xOf - ./postinst)"
grep -q 'systemd-sysusers.*varnex.conf' <<<"$postinst" || fail "the account is not made at installation"
depends="$(dpkg-deb -f "$(deb varnex)" Depends)"
grep -q 'libvarnex1 (>= 1' <<<"$depends" || fail "varnex does not depend on libvarnex1"
# (The tool loads libcurl only for the cluster commands.)
grep -q 'libcurl4' <<<"$depends" || fail "varnex does not depend on libcurl"

# The installed tree.
root="$work/root"
for package in libvarnex1 varnex; do dpkg-deb -x "$(deb "$package")" "$root"; done
grep -qx 'u varnex - "Varnex shared lists" /var/lib/varnex' "$root/usr/lib/sysusers.d/varnex.conf" ||
  fail "unexpected sysusers entry"
export LD_LIBRARY_PATH="$root/usr/lib/$multiarch"
grep -q '^varnex ' <<<"$("$root/usr/bin/varnex" --version)" || fail "the packaged tool does not run"
# The packaged Python module over the packaged library.
dpkg-deb -x "$(deb python3-varnex)" "$root"
mkdir "$work/python-lists"
VARNEX_SYSTEM_DIR="$work/python-lists" PYTHONPATH="$root/usr/lib/python3/dist-packages" \
  VARNEX_LIBRARY="$root/usr/lib/$multiarch/libvarnex.so.1" python3 -c '
import varnex
with varnex.List(varnex.BASE) as rules:
    rules.add(varnex.record("r1", "packaged.example"))
    assert rules.match("packaged.example")
' || fail "the packaged Python module does not work"
# The library is in a directory the system searches: no path is recorded.
if grep -Eq 'RUNPATH|RPATH' <<<"$(readelf -d "$root/usr/bin/varnex")"; then
  fail "the packaged tool records a library path"
fi

for unit in varnex-clean varnex-follow; do
  file="$root/lib/systemd/system/$unit.service"
  grep -q '^ExecStart=/usr/bin/varnex ' "$file" || fail "$unit does not run /usr/bin/varnex"
  for setting in User=varnex StateDirectory=varnex NoNewPrivileges=yes ProtectSystem=strict; do
    grep -qx "$setting" "$file" || fail "$unit lacks $setting"
  done
  if [ "$unit" = varnex-follow ]; then
    for setting in Type=notify WatchdogSec=60 StartLimitBurst=5; do
      grep -qx "$setting" "$file" || fail "$unit lacks $setting"
    done
  fi
  exposure="$(systemd-analyze security --offline=true --no-pager "$file" 2>/dev/null |
    sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')"
  [ -n "$exposure" ] || fail "systemd-analyze gave no exposure for $unit"
  echo "$unit: exposure $exposure"
  awk -v e="$exposure" 'BEGIN { exit !(e <= 2.0) }' || fail "$unit is exposed at $exposure"
done

# Every system call of the cleaner and of a follower (which keeps trying an
# etcd that does not answer) must pass the units' filter: @system-service
# without @privileged and @resources.
expand_group() {
  systemd-analyze syscall-filter "$1" 2>/dev/null | sed -n '2,$p' | sed 's/^ *//' |
    grep -Ev '^(#|$)' | while read -r item; do
      case "$item" in
        @*) expand_group "$item" ;;
        *) echo "$item" ;;
      esac
    done
}
expand_group @system-service | sort -u >"$work/allowed"
expand_group @privileged | sort -u >"$work/denied"
expand_group @resources | sort -u >>"$work/denied"
[ -s "$work/allowed" ] || fail "systemd-analyze lists no system calls"
mkdir -m 0755 "$work/lists"
trace() {
  local name="$1"
  shift
  strace -f -qq -o "$work/$name.trace" "$@" >/dev/null 2>&1 &
  pid=$!
  sleep 3
  # The tool stops on SIGTERM, and strace with it.
  pkill -TERM -P "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  pid=
  sed -n 's/^[0-9]* *\([a-z_0-9]*\)(.*/\1/p' "$work/$name.trace" | sort -u >"$work/$name.calls"
  [ -s "$work/$name.calls" ] || fail "no system calls traced for $name"
  # The trace begins with the exec itself.
  local outside
  outside="$(grep -vx execve "$work/$name.calls" | grep -vxF -f "$work/allowed" || true)"
  outside+="$(grep -xF -f "$work/denied" "$work/$name.calls" || true)"
  [ -z "$outside" ] || fail "$name makes system calls that its unit forbids: $outside"
  echo "$name: $(wc -l <"$work/$name.calls") distinct system calls, all allowed"
}
trace clean "$root/usr/bin/varnex" --dir "$work/lists" clean
trace follow "$root/usr/bin/varnex" --dir "$work/lists" --etcd http://127.0.0.1:9 --prefix /t follow
echo "Debian packages: ok"
