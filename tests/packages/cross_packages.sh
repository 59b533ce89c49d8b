#!/usr/bin/env bash
# The Debian packages of a cross build (arm64, armhf), checked on this machine: each is for its
# architecture and holds binaries for it; every dependency dpkg-shlibdeps wrote is a package of that
# architecture that apt has (the sysroot's packages, fetched from Debian for it); lintian finds no
# error or warning; and the packaged, stripped pelvaro runs under qemu-user, reading its settings:
# KAPALI ends it with status 3 without touching a port. Installing them would need the
# architecture added to a dpkg database, which this test does not do.
# Usage: cross_packages.sh PACKAGE_FOLDER ARCH SYSROOT QEMU
set -euo pipefail

packages=$(realpath "$1") arch=$2 sysroot=$(realpath "$3") qemu=$4
source "$(dirname "$(realpath "${BASH_SOURCE[0]}")")/checks.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for name in pelvaro pelvaro-window; do
  deb=$(find "$packages" -maxdepth 1 -name "${name}_*_$arch.deb" | head -1)
  if [ -z "$deb" ]; then
    fail "no ${name}_<version>_$arch.deb in $packages"
    continue
  fi
  pass "$(basename "$deb"): $(stat -c %s "$deb") bytes"
  check "$name is for $arch" [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ]
  depends=$(dpkg-deb -f "$deb" Depends)
  echo "   Depends: $depends"
  # Each dependency's name, without its version and alternatives' bars.
  for dependency in $(tr ',|' '\n' <<<"$depends" | sed 's/(.*)//; s/ //g' | grep -v '^$'); do
    if [ "$dependency" = pelvaro ]; then continue; fi
    check "$name depends on $dependency, a Debian $arch package the sysroot was made of" \
      grep -qx "Architecture: $arch" "$sysroot-packages/$dependency/DEBIAN/control"
  done
  dpkg-deb -x "$deb" "$work/$name"
done
window_depends=$(dpkg-deb -f "$packages/pelvaro-window_"*"_$arch.deb" Depends 2>/dev/null || true)
for library in libc6 libfltk1.3 libx11-6 libfontconfig1; do
  grep -qw "$library" <<<"$window_depends" || fail "pelvaro-window does not depend on $library"
done

case $arch in
  arm64) machine='ARM aarch64' ;;
  armhf) machine='32-bit LSB .* ARM, EABI5' ;;
esac
for binary in "$work/pelvaro/usr/lib/pelvaro/pelvaro" "$work/pelvaro-window/usr/lib/pelvaro/pelvaro-window"; do
  description=$(file -b "$binary" 2>/dev/null || true)
  check "${binary##*/} is an $arch executable: $description" grep -qE "$machine" <<<"$description"
done

# The shipped pelvaro beside a settings file of its own, since its link leads to /etc.
mkdir "$work/run"
cp "$work/pelvaro/usr/lib/pelvaro/pelvaro" "$work/run/"
printf '[ayar]\r\ncom=KAPALI\r\n' >"$work/run/pelvaro.txt"
status=0
(cd / && env -u DISPLAY timeout 60 "$qemu" -L "$sysroot" "$work/run/pelvaro" >"$work/run.log" 2>&1) ||
  status=$?
[ "$status" -eq 3 ] || cat "$work/run.log"
check "the packaged pelvaro under $qemu, set to KAPALI, ends with status 3 ($status)" \
  [ "$status" -eq 3 ]

status=0
lintian --fail-on error,warning "$packages"/pelvaro*_"$arch".deb >"$work/lintian.log" 2>&1 ||
  status=$?
[ "$status" -eq 0 ] || cat "$work/lintian.log"
check "lintian reports no error or warning" [ "$status" -eq 0 ]

echo "$failures failed"
[ "$failures" -eq 0 ]
