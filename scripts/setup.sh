#!/usr/bin/env bash
# Installs the Debian packages the build needs, once (quiet, idempotent).
packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev
          libbenchmark-dev libcli11-dev libtomlplusplus-dev binutils iproute2)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >/dev/null
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The Windows build and its test run under Wine: the 32-bit mingw-w64 cross compiler and a
# 32-bit Wine. Called by scripts/wine-test.sh only, so that the ordinary suite does not pay
# for them; like the list above, it installs only what is missing.
setup_wine() {
  local wanted=(g++-mingw-w64-i686 wine wine32)
  local need=()
  for p in "${wanted[@]}"; do
    local name=$p
    [ "$p" = wine32 ] && name=wine32:i386
    dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
  done
  [ ${#need[@]} -gt 0 ] || return 0
  echo "installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  apt-get update -qq >/dev/null
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
}
