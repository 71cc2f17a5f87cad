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

# Optional: libmodbus, only for the side-by-side benchmark (bench_peer); the build does
# without it.
if ! dpkg-query -W -f='${Status}' libmodbus-dev 2>/dev/null | grep -q "install ok installed"; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -qq --no-install-recommends libmodbus-dev >/dev/null 2>&1 ||
    echo "libmodbus-dev not installed: bench_peer will run the driver alone"
fi
