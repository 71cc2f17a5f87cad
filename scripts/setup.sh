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
# 32-bit Wine; where this machine cannot run 32-bit programs (a kernel without IA-32
# emulation), also the 64-bit compiler and Wine, on which the tests run instead. Called by
# scripts/wine-test.sh only; like the list above, it installs only what is missing.
install_missing() { # package...
  local need=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("${p%:i386}")
  done
  [ ${#need[@]} -gt 0 ] || return 0
  echo "installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  apt-get update -qq >/dev/null
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
}
# True when the machine runs 32-bit x86 programs (the 32-bit Wine is one).
runs_32bit() {
  /usr/lib/wine/wine --version >/dev/null 2>&1
}
setup_wine() {
  install_missing g++-mingw-w64-i686-posix wine wine32:i386
  runs_32bit || install_missing g++-mingw-w64-x86-64-posix wine64
}

# Optional: libmodbus, only for the side-by-side benchmark (bench_peer); the build does
# without it.
if ! dpkg-query -W -f='${Status}' libmodbus-dev 2>/dev/null | grep -q "install ok installed"; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -qq --no-install-recommends libmodbus-dev >/dev/null 2>&1 ||
    echo "libmodbus-dev not installed: bench_peer will run the driver alone"
fi
