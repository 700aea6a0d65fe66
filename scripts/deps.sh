#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing.
set -euo pipefail

packages=(cmake g++ make binutils pkg-config libgtest-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev libsimdjson-dev
  liblmdb-dev libsqlite3-dev
  libcurl4-openssl-dev etcd-server etcd-client help2man
  locales clang libclang-rt-14-dev
  wine wine64 g++-mingw-w64-x86-64-posix unzip)

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
if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.gbk$'; then
  echo "creating the zh_CN.GBK locale"
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" localedef -i zh_CN -f GBK zh_CN.GBK
fi
