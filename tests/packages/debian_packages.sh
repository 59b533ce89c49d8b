#!/usr/bin/env bash
# The Debian packages through dpkg itself: install, a send from /usr/bin/pelvaro on a
# pseudo-terminal as COM3, the settings edit kept by an upgrade and by a removal, nothing left
# after a purge. Then desktop-file-validate and lintian on what was installed and built.
#
# dpkg runs in a throwaway root (throwaway_root.sh, in a private mount namespace): this machine's
# dpkg database and files are never touched, a pelvaro installed here is no obstacle, and a run
# cut short leaves nothing behind. Only the logs, dpkg.log and lintian.log, are written to
# PACKAGE_FOLDER. Needs root; skipped (exit status 77) otherwise.
# Usage: debian_packages.sh PACKAGE_FOLDER VCOM
set -euo pipefail

if [ "${1:-}" = --in-throwaway-root ]; then
  # A guard against running the rest on the machine itself by mistake.
  [ "$(stat -f -c %T /)" = overlayfs ] || { echo "/ is no overlay: not in a throwaway root"; exit 1; }
  shift
elif [ "$(id -u)" -ne 0 ]; then
  echo "SKIPPED: dpkg in a throwaway root needs root"
  exit 77
else
  here=$(dirname "$(realpath "$0")")
  packages=$(realpath "$1")
  vcom=$(realpath "$2")
  exec unshare --mount --propagation private -- bash "$here/throwaway_root.sh" \
    "$packages" "$here" "$vcom" -- bash "$here/debian_packages.sh" --in-throwaway-root \
    "$packages" "$vcom"
fi

packages=$1
vcom=$2
source "$(dirname "$(realpath "${BASH_SOURCE[0]}")")/checks.sh"

# Whatever this machine has of pelvaro is purged first, in the throwaway root alone.
for package in pelvaro-window pelvaro; do
  state=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
  if [ -n "$state" ] && [ "$state" != not-installed ]; then
    echo "this machine has $package ($state); the throwaway root starts without it"
    dpkg --purge --force-depends "$package" </dev/null >/dev/null
  fi
done

dpkg_quietly() { # a conffile question would read the closed input and fail, not hang
  timeout 120 dpkg "$@" </dev/null >"$packages/dpkg.log" 2>&1 || { cat "$packages/dpkg.log"; return 1; }
}

# Runs /usr/bin/pelvaro from another folder, with pseudo-terminals as COM1 and COM3; prints
# vcom's report.
send() { (cd / && timeout 60 "$vcom" --com 1 --com 3 -- /usr/bin/pelvaro 2>&1); }

expect_byte_on_com3() { # when
  local report status=0
  report=$(send) || status=$?
  if [ "$status" -eq 0 ] && grep -q 'COM3 (/dev/ttyS2) received 1 byte: 61 ("a")' <<<"$report" &&
    grep -q 'COM1 (/dev/ttyS0) received nothing' <<<"$report"; then
    pass "$1: /usr/bin/pelvaro sends 'a' on COM3 and nothing on COM1"
  else
    fail "$1: /usr/bin/pelvaro exited with $status"$'\n'"$report"
  fi
}

expect_nothing_sent_with_kapali() {
  local report status=0
  report=$(send) || status=$?
  if [ "$status" -eq 3 ] && ! grep -q 'received [0-9]' <<<"$report"; then
    pass "with com=KAPALI /usr/bin/pelvaro sends nothing and exits with 3 (switched off)"
  else
    fail "with com=KAPALI /usr/bin/pelvaro exited with $status"$'\n'"$report"
  fi
}

settings_say() { tr -d '\r' </etc/pelvaro/pelvaro.txt 2>/dev/null | grep -qx "com=$1"; }

version=$(dpkg-deb -f "$(ls "$packages"/pelvaro_*.deb | head -1)" Version)
first=("$packages/pelvaro_${version}_"*.deb "$packages/pelvaro-window_${version}_"*.deb)
upgrade=("$packages"/upgrade/pelvaro_*.deb "$packages"/upgrade/pelvaro-window_*.deb)

dpkg_quietly -i "${first[@]}"
pass "dpkg -i ${first[*]##*/}"
check "/usr/bin/pelvaro leads to /usr/lib/pelvaro/pelvaro" \
  test "$(readlink -f /usr/bin/pelvaro)" = /usr/lib/pelvaro/pelvaro
check "the settings beside the program are /etc/pelvaro/pelvaro.txt" \
  test "$(readlink -f /usr/lib/pelvaro/pelvaro.txt)" = /etc/pelvaro/pelvaro.txt
window_part=$(dpkg -L pelvaro-window | grep '^/usr/lib/pelvaro/.' || true)
check "the window part lies beside the program: ${window_part:-nothing there}" \
  bash -c "[ -n '$window_part' ] && [ -f '$(head -1 <<<"$window_part")' ]"
check "the launcher is in the desktop's menu, its icon in the icon theme" \
  test -f /usr/share/applications/pelvaro.desktop -a -f /usr/share/icons/hicolor/48x48/apps/pelvaro.png \
  -a -f /usr/share/icons/hicolor/scalable/apps/pelvaro.svg
check "the example udev rule for a COM name is in the documentation" \
  test -f /usr/share/doc/pelvaro/examples/99-pelvaro-com.rules
check "the shipped settings say com=KAPALI" settings_say KAPALI
check "/etc/pelvaro/pelvaro.txt is a conffile" \
  grep -q '^ /etc/pelvaro/pelvaro.txt ' <(dpkg-query -W -f='${Conffiles}\n' pelvaro)
depends=$(dpkg-query -W -f='${Depends}' pelvaro)
check "the core package depends on nothing graphical ($depends)" \
  bash -c "! grep -Eqi 'fltk|libx' <<<'$depends'"
expect_nothing_sent_with_kapali

printf '[ayar]\ncom=3\n' >/etc/pelvaro/pelvaro.txt
expect_byte_on_com3 "after the edit"

dpkg_quietly -i "${upgrade[@]}"
pass "upgrade to $(dpkg-query -W -f='${Version}' pelvaro)"
check "the upgrade kept the edit" settings_say 3
expect_byte_on_com3 "after the upgrade"

dpkg_quietly -i "${upgrade[@]}"
check "a reinstall kept the edit" settings_say 3

dpkg_quietly -r pelvaro-window pelvaro
check "a removal leaves the program's files gone" bash -c '! test -e /usr/lib/pelvaro/pelvaro'
check "a removal keeps the edited settings" settings_say 3

dpkg_quietly --purge pelvaro-window pelvaro
left=$(ls -d /etc/pelvaro /usr/lib/pelvaro /usr/bin/pelvaro /usr/share/doc/pelvaro \
  /usr/share/doc/pelvaro-window /usr/share/applications/pelvaro.desktop \
  /usr/share/icons/hicolor/*/apps/pelvaro.* 2>/dev/null || true)
check "a purge leaves nothing behind${left:+: $left}" test -z "$left"
check "dpkg knows neither package after the purge" \
  bash -c "! dpkg-query -W pelvaro pelvaro-window >/dev/null 2>&1"

echo "desktop-file-validate on the packaged launcher:"
launcher=$(mktemp -d)
dpkg-deb -x "$(ls "$packages"/pelvaro_"${version}"_*.deb)" "$launcher"
check "desktop-file-validate finds nothing" \
  desktop-file-validate "$launcher/usr/share/applications/pelvaro.desktop"
rm -rf "$launcher"

echo "lintian:"
lintian_log=$packages/lintian.log
lintian --fail-on error --display-info "${first[@]}" 2>&1 | tee "$lintian_log" || true
check "lintian reports no error" bash -c "! grep -q '^E: ' '$lintian_log'"

echo "debian packages: $failures failed"
[ "$failures" -eq 0 ]
