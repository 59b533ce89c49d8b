# Shared by the scripts: installing Debian packages and building.

repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${PELVARO_BUILD_DIR:-$repo_root/build}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# A dpkg run that was cut short (a power cut, a killed session) leaves its journal behind, and
# apt-get then refuses every install until the run is finished; dpkg's own remedy finishes it.
finish_interrupted_dpkg_run() {
  [ -n "$(ls -A /var/lib/dpkg/updates 2>/dev/null)" ] || [ -n "$(dpkg --audit 2>/dev/null)" ] ||
    return 0
  echo "Finishing an earlier dpkg run that was cut short: dpkg --configure -a"
  # A run still going on holds dpkg's lock and this fails; apt-get below waits for that run.
  as_root env DEBIAN_FRONTEND=noninteractive dpkg --force-confdef --force-confold \
    --configure -a </dev/null >/dev/null || true
}

# Installs the Debian packages among "$@" that are not installed yet.
install_packages() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing ${missing[*]}"
  finish_interrupted_dpkg_run
  # Another install in progress (an unattended upgrade) is waited for, for a while, not failed on.
  local wait_for_lock=(-o DPkg::Lock::Timeout=300)
  as_root apt-get "${wait_for_lock[@]}" update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get "${wait_for_lock[@]}" install -y -qq \
    --no-install-recommends "${missing[@]}" >/dev/null
}

build_packages=(cmake make g++ libgtest-dev libfltk1.3-dev libfontconfig-dev)
# What the desktop tests run on: a virtual X server, a window manager, and xdotool to click.
desktop_packages=(xvfb openbox xdotool)

# What proves the line on a real serial driver: a Debian kernel booted under QEMU, with a busybox
# initramfs made at test time. The kernel itself is not installed (fetch_guest_kernel).
uart_packages=(qemu-system-x86 busybox-static cpio)
guest_kernel_dir=${PELVARO_GUEST_KERNEL_DIR:-$build_dir/guest-kernel}

# The kernel the QEMU tests boot, with its modules: the package linux-image-amd64 depends on,
# downloaded and unpacked into $guest_kernel_dir, not installed, so that the host's /boot, its boot
# loader and its dpkg database stay as they were. Kept while apt's current kernel is the one there.
fetch_guest_kernel() {
  # Lists that are missing or older than the mirror name no package or one no longer there: apt's
  # lists are brought up to date once, and the fetch tried again.
  download_guest_kernel || { as_root apt-get -o DPkg::Lock::Timeout=300 update -qq &&
    download_guest_kernel; }
}

download_guest_kernel() {
  local package download
  package=$(apt-cache depends linux-image-amd64 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-[^ ]*\)$/\1/p' | head -1)
  if [ -z "$package" ]; then
    echo "apt knows no kernel package behind linux-image-amd64" >&2
    return 1
  fi
  [ -e "$guest_kernel_dir/boot/vmlinuz-${package#linux-image-}" ] && return 0
  # An earlier kernel unpacked there goes; a folder that holds anything else is left alone.
  if [ -n "$(ls -A "$guest_kernel_dir" 2>/dev/null)" ] && [ ! -d "$guest_kernel_dir/boot" ]; then
    echo "$guest_kernel_dir holds something other than a kernel package: not replacing it" >&2
    return 1
  fi
  echo "Fetching $package for the QEMU guests into $guest_kernel_dir"
  # apt fetches as its own user _apt where it can, which needs a folder it may write to.
  download=$(mktemp -d)
  chmod 777 "$download"
  if ! (cd "$download" && apt-get download -qq "$package" >/dev/null); then
    rm -rf "$download"
    return 1
  fi
  rm -rf "$guest_kernel_dir"
  mkdir -p "$guest_kernel_dir"
  dpkg-deb -x "$download"/*.deb "$guest_kernel_dir"
  rm -rf "$download"
}

# What proves the line on a Raspberry Pi's own UART drivers: Debian's arm64 kernel under QEMU, on
# the virt machine, whose UART is the Pi's PL011 (amba-pl011), and on the raspi3b, the Pi 3 with
# its mini UART (8250_bcm2835aux), running the ARM builds (an arm64 kernel runs the 32-bit build
# too).
arm_guest_packages=(qemu-system-arm)
# What reaches a serial port on another machine: ser2net serving it there, socat linking a
# pseudo-terminal to it here.
remote_packages=(ser2net socat)
arm_guest_dir=${PELVARO_ARM_GUEST_DIR:-$build_dir/arm-guest}

# Debian's arm64 kernel and busybox-static for the ARM guest, downloaded and unpacked into
# $arm_guest_dir/kernel and $arm_guest_dir/busybox. apt works there on a state of its own (lists,
# cache and an empty dpkg status under $arm_guest_dir/apt) with arm64 as its only architecture:
# the host's dpkg architectures, its lists and its cache stay as they were. Kept while apt's
# current arm64 kernel is the one there.
fetch_arm_guest() {
  mkdir -p "$arm_guest_dir/apt/lists/partial" "$arm_guest_dir/apt/cache/archives/partial"
  touch "$arm_guest_dir/apt/status"
  # Missing lists, or lists that name a kernel the mirror no longer has: brought up to date once.
  download_arm_guest 2>/dev/null || { arm_apt apt-get update -qq && download_arm_guest; }
}

# apt-get or apt-cache on the ARM guest's own state. The host's hooks after an update (its
# desktop's caches) and its extra index files are not this state's business.
arm_apt() { # apt-get|apt-cache arguments
  local state=$arm_guest_dir/apt tool=$1
  shift
  "$tool" -o APT::Architecture=arm64 -o APT::Architectures::=arm64 \
    -o Dir::State::Lists="$state/lists" -o Dir::Cache="$state/cache" \
    -o Dir::State::status="$state/status" -o APT::Sandbox::User=root \
    -o APT::Update::Post-Invoke-Success::= -o APT::Update::Post-Invoke::= \
    -o Acquire::IndexTargets::deb::DEP-11::DefaultEnabled=false \
    -o Acquire::IndexTargets::deb::DEP-11-icons-small::DefaultEnabled=false \
    -o Acquire::IndexTargets::deb::DEP-11-icons::DefaultEnabled=false "$@"
}

download_arm_guest() {
  local package download
  package=$(arm_apt apt-cache depends linux-image-arm64 |
    sed -n 's/^ *Depends: \(linux-image-[^ ]*\)$/\1/p' | head -1)
  if [ -z "$package" ]; then
    echo "apt knows no arm64 kernel package behind linux-image-arm64" >&2
    return 1
  fi
  if [ -e "$arm_guest_dir/kernel/boot/vmlinuz-${package#linux-image-}" ] &&
    [ -x "$arm_guest_dir/busybox/bin/busybox" ]; then
    return 0
  fi
  echo "Fetching $package and busybox-static (arm64) for the ARM guest into $arm_guest_dir"
  download=$(mktemp -d)
  if ! (cd "$download" && arm_apt apt-get download -qq "$package" busybox-static >/dev/null); then
    rm -rf "$download"
    return 1
  fi
  rm -rf "$arm_guest_dir/kernel" "$arm_guest_dir/busybox"
  dpkg-deb -x "$download"/linux-image-*.deb "$arm_guest_dir/kernel"
  dpkg-deb -x "$download"/busybox-static_*.deb "$arm_guest_dir/busybox"
  rm -rf "$download"
}

# Runs a test program as the user nobody, from a copy in a folder of its own, so that a test that
# passes only as root is found.
run_as_nobody() {
  local folder status=0
  folder=$(mktemp -d)
  chmod 755 "$folder"
  cp "$1" "$folder/"
  (cd "$folder" && setpriv --reuid=nobody --regid=nogroup --clear-groups "./$(basename "$1")") ||
    status=$?
  rm -rf "$folder"
  return "$status"
}

# The Windows build and what proves it: the cross compiler and Wine.
windows_packages=(g++-mingw-w64-x86-64 wine wine64)
windows_build_dir=${PELVARO_WINDOWS_BUILD_DIR:-$repo_root/build-windows}

build() {
  cmake -S "$repo_root" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  cmake --build "$build_dir" -j2
}

build_windows() {
  cmake -S "$repo_root" -B "$windows_build_dir" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$repo_root/cmake/mingw-w64-x86_64.cmake" >/dev/null
  cmake --build "$windows_build_dir" -j2
}

# The ARM Linux builds (Raspberry Pi OS and Debian on ARM boards), made here with Debian's cross
# compilers, and qemu-user, which runs what they build.
arm_packages=(g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user)
arm64_build_dir=${PELVARO_ARM64_BUILD_DIR:-$repo_root/build-arm64}
armhf_build_dir=${PELVARO_ARMHF_BUILD_DIR:-$repo_root/build-armhf}

# The build folder of a Debian architecture: arm64 or armhf.
arm_build_dir() { # arch
  case $1 in
    arm64) echo "$arm64_build_dir" ;;
    armhf) echo "$armhf_build_dir" ;;
    *) echo "no ARM build for '$1': arm64 or armhf" >&2; return 1 ;;
  esac
}

# The toolchain file of a Debian architecture, by the GNU triplet of its compilers.
arm_toolchain() { # arch
  case $1 in
    arm64) echo "$repo_root/cmake/aarch64-linux-gnu.cmake" ;;
    armhf) echo "$repo_root/cmake/arm-linux-gnueabihf.cmake" ;;
    *) echo "no ARM build for '$1': arm64 or armhf" >&2; return 1 ;;
  esac
}

# The libraries the ARM builds link and the packages' dependencies are found against: Debian's own
# packages for the architecture, unpacked into $(arm_build_dir arch)/sysroot and never installed.
# The -dev packages give headers and link names, and the shared libraries they stand on come with
# their dependencies; the C and C++ libraries to link come from the cross compilers instead.
arm_sysroot_dev_packages=(libfltk1.3-dev libx11-dev x11proto-dev libfontconfig-dev libgtest-dev)
arm_sysroot_library_packages=(libfltk1.3 libx11-6 libfontconfig1 libstdc++6 libgcc-s1 libc6)

# Fetches the sysroot of arm64 or armhf with an apt state of its own in the build folder (its lists,
# its cache, an empty dpkg status), so that the host's architectures, lists and packages stay as
# they were. Each package is unpacked in sysroot-packages/<name>, with its control files, where
# dpkg-shlibdeps finds a library's symbols or shlibs file; all of them together in sysroot/.
# Kept while apt's versions are the ones unpacked.
fetch_arm_sysroot() { # arch
  local arch=$1 dir state unpacked wanted download package
  dir=$(arm_build_dir "$arch") || return 1
  state=$dir/sysroot-apt
  mkdir -p "$state/lists/partial" "$state/cache/archives/partial"
  touch "$state/status"
  local apt=(apt-get -qq -o APT::Architecture="$arch" -o APT::Architectures="$arch"
    -o Dir::State::Lists="$state/lists" -o Dir::Cache="$state/cache"
    -o Dir::State::status="$state/status" -o Debug::NoLocking=1
    -o APT::Sandbox::User=root)
  "${apt[@]}" update || return 1
  # name=version of each package apt would install: the libraries with everything they depend on,
  # as on the board, and the -dev packages alone.
  arm_sysroot_closure() { "${apt[@]}" -s install --no-install-recommends "$@" |
    sed -n 's/^Inst \([^ ]*\) (\([^ ]*\) .*/\1=\2/p'; }
  wanted=$({ arm_sysroot_closure "${arm_sysroot_library_packages[@]}" &&
    arm_sysroot_closure "${arm_sysroot_dev_packages[@]}" |
    grep -E "^($(IFS='|' && echo "${arm_sysroot_dev_packages[*]}"))="; } | LC_ALL=C sort -u) ||
    return 1
  if ! grep -q '^libfltk1.3-dev=' <<<"$wanted"; then
    echo "apt found no $arch packages for the sysroot" >&2
    return 1
  fi
  [ "$wanted" = "$(cat "$dir/sysroot/packages.txt" 2>/dev/null)" ] && return 0
  echo "Fetching Debian's $arch libraries into $dir/sysroot"
  download=$(mktemp -d)
  # shellcheck disable=SC2086 # one name=version a word
  if ! (cd "$download" && "${apt[@]}" download $wanted); then
    rm -rf "$download"
    return 1
  fi
  rm -rf "$dir/sysroot" "$dir/sysroot-packages"
  mkdir -p "$dir/sysroot" "$dir/sysroot-packages"
  for package in "$download"/*.deb; do
    unpacked=$dir/sysroot-packages/$(dpkg-deb -f "$package" Package)
    dpkg-deb -x "$package" "$unpacked"
    cp -al "$unpacked/." "$dir/sysroot/"
    dpkg-deb -e "$package" "$unpacked/DEBIAN"
  done
  rm -rf "$download"
  echo "$wanted" >"$dir/sysroot/packages.txt"
}

# Configures the cross build of arm64 or armhf in $(arm_build_dir arch), on the sysroot
# fetch_arm_sysroot makes there, as a packager configures it (for /usr, with debugging information
# in the build tree's binaries), so that the packages come from the build the tests ran on. Further
# arguments go to cmake.
configure_arm() { # arch [cmake arguments]
  local arch=$1 dir toolchain
  shift
  dir=$(arm_build_dir "$arch") && toolchain=$(arm_toolchain "$arch") || return 1
  fetch_arm_sysroot "$arch" || return 1
  cmake -S "$repo_root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DPELVARO_CROSS_SYSROOT="$dir/sysroot" \
    -DPELVARO_CROSS_DEBIAN_PACKAGES="$dir" "$@" >/dev/null
}

# Cross-builds pelvaro, its window and its tests for arm64 or armhf; further arguments go to cmake.
build_arm() { # arch [cmake arguments]
  configure_arm "$@" || return 1
  cmake --build "$(arm_build_dir "$1")" -j2
}

# What the everyday run builds of arm64 or armhf: what the packages hold and the unit tests that
# run under qemu-user; the tests that need root, a desktop or QEMU's machines are left out, and so
# packing does not build them either.
build_arm_for_tests() { # arch
  configure_arm "$1" -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON || return 1
  cmake --build "$(arm_build_dir "$1")" -j2 --target pelvaro pelvaro-window pelvaro_manual_page \
    pelvaro_debian_changelog pelvaro_unit_tests
}

# The Debian packages of arm64 or armhf, from its build: pelvaro_<version>_<arch>.deb and
# pelvaro-window_<version>_<arch>.deb.
build_arm_debian_packages() { # arch
  local dir
  dir=$(arm_build_dir "$1") || return 1
  rm -f "$dir"/*.deb
  (cd "$dir" && cpack -G DEB >/dev/null)
  ls "$dir"/*.deb
}

# The packages and what checks them: dpkg's tools, lintian and the launcher's validator.
package_packages=(dpkg-dev file lintian desktop-file-utils)
deb_build_dir=${PELVARO_DEB_BUILD_DIR:-$repo_root/build-deb}

# The Debian packages as a packager builds them: the program alone, for /usr, with debugging
# information in the build tree's binaries (the packages' copies are stripped). A second set, one
# Debian revision later, in upgrade/, for the upgrade test.
build_debian_packages() {
  cmake -S "$repo_root" -B "$deb_build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$deb_build_dir" -j2
  rm -f "$deb_build_dir"/*.deb "$deb_build_dir"/upgrade/*.deb
  (cd "$deb_build_dir" && cpack -G DEB >/dev/null &&
    cpack -G DEB -D CPACK_DEBIAN_PACKAGE_RELEASE=2 -B "$deb_build_dir/upgrade" >/dev/null)
  ls "$deb_build_dir"/*.deb
}

# The Windows zip, from the mingw-w64 build.
build_windows_package() {
  rm -f "$windows_build_dir"/pelvaro-*-win64.zip
  (cd "$windows_build_dir" && cpack -G ZIP >/dev/null)
  ls "$windows_build_dir"/pelvaro-*-win64.zip
}

# The checks beyond the tests: sanitizers, fuzzers (clang's libFuzzer) and valgrind.
check_packages=(clang libclang-rt-14-dev valgrind)
sanitized_build_dir=${PELVARO_SANITIZED_BUILD_DIR:-$repo_root/build-sanitized}
fuzz_build_dir=${PELVARO_FUZZ_BUILD_DIR:-$repo_root/build-fuzz}

build_sanitized() {
  cmake -S "$repo_root" -B "$sanitized_build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPELVARO_SANITIZE=ON >/dev/null
  cmake --build "$sanitized_build_dir" -j2
}

sanitized() {
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    LSAN_OPTIONS=suppressions=$repo_root/tests/sanitizers/lsan.supp:print_suppressions=0 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 "$@"
}

build_fuzzers() {
  CXX=clang++ CC=clang cmake -S "$repo_root" -B "$fuzz_build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPELVARO_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$fuzz_build_dir" -j2 --target profile_fuzzer port_number_fuzzer
}

# Runs each fuzzer for the given seconds from its seed corpus (in a copy, so the repository's
# corpus stays as it is). A crash fails the run; its input stays in the fuzz build folder.
run_fuzzers() {
  local target corpus log
  for target in profile port_number; do
    corpus=$(mktemp -d)
    log="$fuzz_build_dir/$target.log"
    cp "$repo_root/fuzz/corpus/$target"/* "$corpus/"
    if ! (cd "$fuzz_build_dir" && "./fuzz/${target}_fuzzer" -max_total_time="$1" \
      -print_final_stats=1 "$corpus" >"$log" 2>&1); then
      echo "fuzzer $target found a crash:"
      tail -40 "$log"
      rm -rf "$corpus"
      return 1
    fi
    echo "$target: $(grep -E 'stat::number_of_executed_units' "$log")"
    rm -rf "$corpus"
  done
}

# Runs scripts/demo, the README's first command, as it runs on a fresh machine set up as root: with
# a PATH in which there is no sudo. Fails unless the demo shows the byte arriving on COM3.
first_command_without_sudo() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: not root"
    return 0
  fi
  local tools log dir tool
  tools=$(mktemp -d)
  log=$(mktemp)
  for dir in /usr/sbin /usr/bin /sbin /bin; do
    for tool in "$dir"/*; do
      [ "${tool##*/}" = sudo ] || [ -e "$tools/${tool##*/}" ] || ln -s "$tool" "$tools/${tool##*/}"
    done
  done
  local status=0
  PATH=$tools "$repo_root/scripts/demo" >"$log" 2>&1 || status=$?
  if [ "$status" -ne 0 ] || ! grep -q 'COM3 (/dev/ttyS2) received 1 byte: 61 ("a")' "$log"; then
    cat "$log"
    status=1
  else
    grep 'COM3' "$log"
  fi
  rm -rf "$tools" "$log"
  return "$status"
}

# The test run leaves the machine as it found it, beyond the packages it installs: what dpkg has
# installed, and the files under /boot, /etc and /usr/lib/pelvaro (each one's type, mode, owner,
# link target and, for a regular file, a checksum; times are left out, as a file rewritten with
# the same content is no change). Recorded once the packages are installed, and compared at the end.
record_host_state() { # file
  mkdir -p "$(dirname "$1")"
  # A folder that is not there (no pelvaro installed) is recorded as absent, not an error.
  local roots=() root
  for root in /boot /etc /usr/lib/pelvaro; do
    if [ -e "$root" ]; then roots+=("$root"); else echo "absent $root"; fi
  done >"$1"
  {
    dpkg-query -W -f='${db:Status-Abbrev} ${binary:Package} ${Version}\n' | LC_ALL=C sort
    # A file that goes while it is listed (a cache rewritten) shows in the difference, not here.
    { find "${roots[@]}" -printf '%y %m %u:%g %p %l\n' 2>/dev/null || true; } | LC_ALL=C sort
    { find "${roots[@]}" -type f -print0 2>/dev/null || true; } | LC_ALL=C sort -z |
      { xargs -0 -r sha256sum 2>&1 || true; }
  } >>"$1"
}

# Fails, showing the difference, unless the machine is as record_host_state found it.
expect_host_as_recorded() { # file
  record_host_state "$1.now"
  if ! diff -u "$1" "$1.now" >"$1.diff"; then
    echo "FAILED: the test run changed the machine (dpkg's packages, /boot, /etc, /usr/lib/pelvaro):"
    cat "$1.diff"
    return 1
  fi
  echo "host check: $(grep -c '^[a-zA-Z]\{2\} ' "$1") packages, $(grep -c '^[a-z] [0-9]' "$1") \
paths under /boot, /etc and /usr/lib/pelvaro: as they were before the tests"
}
