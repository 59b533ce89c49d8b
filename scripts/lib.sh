# Shared by the scripts: installing Debian packages and building.

repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${PELVARO_BUILD_DIR:-$repo_root/build}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
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
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
}

build_packages=(cmake make g++ libgtest-dev libfltk1.3-dev)
# What the desktop tests run on: a virtual X server, a window manager, and xdotool to click.
desktop_packages=(xvfb openbox xdotool)

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
