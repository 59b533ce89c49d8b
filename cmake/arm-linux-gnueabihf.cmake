# Cross build for 32-bit ARM Linux with hardware floating point (Debian's armhf: Raspberry Pi OS
# 32-bit on a Pi 2 or later) with Debian's g++-arm-linux-gnueabihf:
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake \
#     [-DPELVARO_CROSS_SYSROOT=<Debian's armhf packages unpacked>]
# scripts/lib.sh's build_arm armhf does this.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(PELVARO_CROSS_TRIPLET arm-linux-gnueabihf)
set(PELVARO_CROSS_QEMU qemu-arm)
set(PELVARO_CROSS_DEBIAN_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
