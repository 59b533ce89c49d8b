# Cross build for 64-bit ARM Linux (Debian's arm64: Raspberry Pi OS 64-bit) with Debian's
# g++-aarch64-linux-gnu:
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
#     [-DPELVARO_CROSS_SYSROOT=<Debian's arm64 packages unpacked>]
# scripts/lib.sh's build_arm arm64 does this.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(PELVARO_CROSS_TRIPLET aarch64-linux-gnu)
set(PELVARO_CROSS_QEMU qemu-aarch64)
set(PELVARO_CROSS_DEBIAN_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
