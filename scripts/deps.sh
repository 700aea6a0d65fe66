#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing;
# with "tool", only those that building the library and the tool needs.
set -euo pipefail

tool_only=false
if [ "${1:-}" = tool ]; then tool_only=true; fi
# The library and the tool.
packages=(cmake g++ make binutils pkg-config libcli11-dev nlohmann-json3-dev libsimdjson-dev
  libcurl4-openssl-dev libsystemd-dev help2man)
if ! $tool_only; then
  # Tests, benchmarks beside LMDB and SQLite, the cluster tests' etcd (and
  # openssl for the certificates of its TLS cluster), fuzzing with clang, the
  # Python module's tests, the Windows build under Wine, the Debian packages
  # and their checks.
  packages+=(libgtest-dev libbenchmark-dev liblmdb-dev libsqlite3-dev etcd-server etcd-client
    locales clang clang-format clang-tidy libclang-rt-14-dev wine wine64 g++-mingw-w64-x86-64-posix unzip
    debhelper dh-python python3 dpkg-dev lintian strace systemd openssl)
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi

# The wildcard tests fold text in a double-byte locale.
if ! $tool_only && ! locale -a 2>/dev/null | grep -qi '^zh_CN\.gbk$'; then
  echo "creating the zh_CN.GBK locale"
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" localedef -i zh_CN -f GBK zh_CN.GBK
fi
