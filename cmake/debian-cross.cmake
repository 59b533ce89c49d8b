# What Debian's cross toolchains for Linux have in common; each architecture's toolchain file sets
# PELVARO_CROSS_TRIPLET, PELVARO_CROSS_QEMU and PELVARO_CROSS_DEBIAN_ARCH and includes this.
#
# The compilers bring their own C and C++ libraries under /usr/<triplet>. Every other library (FLTK,
# X, fontconfig, GoogleTest) comes from a sysroot: Debian's packages for the architecture unpacked
# into a folder, named by PELVARO_CROSS_SYSROOT. Without one,
# only the headless pelvaro builds (-DBUILD_TESTING=OFF).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${PELVARO_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${PELVARO_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${PELVARO_CROSS_TRIPLET})

set(PELVARO_CROSS_SYSROOT "" CACHE PATH "Debian's packages for the target unpacked (FLTK, X, GoogleTest)")
# The test compilations CMake makes read this file again, without the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PELVARO_CROSS_SYSROOT)

set(CMAKE_FIND_ROOT_PATH /usr/${PELVARO_CROSS_TRIPLET})
if(PELVARO_CROSS_SYSROOT)
  list(APPEND CMAKE_FIND_ROOT_PATH ${PELVARO_CROSS_SYSROOT})
  # The target's headers ahead of the host's /usr/include, which the cross compilers search too.
  foreach(language C CXX)
    set(CMAKE_${language}_STANDARD_INCLUDE_DIRECTORIES ${PELVARO_CROSS_SYSROOT}/usr/include)
  endforeach()
  # The libraries those libraries need in turn, found by the linker where they were unpacked.
  set(link_path ${PELVARO_CROSS_SYSROOT}/usr/lib/${PELVARO_CROSS_TRIPLET})
  string(APPEND link_path ":${PELVARO_CROSS_SYSROOT}/lib/${PELVARO_CROSS_TRIPLET}")
  foreach(kind EXE SHARED MODULE)
    set(CMAKE_${kind}_LINKER_FLAGS_INIT "-Wl,-rpath-link,${link_path}")
  endforeach()
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The target's programs (the tests, their discovery) run under qemu-user, named here rather than
# registered with binfmt_misc, which would change the host for every program. With a sysroot, they
# load the sysroot's loader, C library and the rest, as on the board; the compilers' copies are
# another build of the C library, and a loader of one build with a C library of another breaks
# threads and worse.
if(PELVARO_CROSS_SYSROOT)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PELVARO_CROSS_QEMU} -L ${PELVARO_CROSS_SYSROOT})
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PELVARO_CROSS_QEMU} -L /usr/${PELVARO_CROSS_TRIPLET})
endif()
