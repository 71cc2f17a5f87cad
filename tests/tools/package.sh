#!/usr/bin/env bash
# Builds the Debian package of a build tree, lists it, unpacks it and runs its trs-host.
set -euo pipefail
build=$1
cd "$build"
rm -f trslnk_*.deb
cpack -G DEB >/dev/null
deb=$(ls trslnk_*.deb)
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in usr/bin/trs-host usr/bin/trs-sim usr/lib/TRSLNK32.so usr/lib/libKIVRUN.so usr/lib/libDIALXNT.so \
         usr/include/trslnk/entry/Records.h usr/include/trslnk/entry/KivRun.h usr/include/trslnk/entry/DialX.h \
         usr/include/trslnk/platform/Compiler.h usr/lib/cmake/TRSLNK/TRSLNKConfig.cmake \
         usr/lib/systemd/system/trs-host.service; do
  grep -qx "./$f" <<<"$contents" || { echo "missing in $deb: $f"; exit 1; }
done
dpkg-deb -f "$deb" Depends | grep -q libstdc++ || { echo "no dependencies declared"; exit 1; }
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
"$unpacked/usr/bin/trs-host" --help | grep -q "Exit codes"
echo "$deb: $(wc -l <<<"$contents") entries, Depends: $(dpkg-deb -f "$deb" Depends)"
