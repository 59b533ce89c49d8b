# The packages, made with CPack from a configured build:
#   Linux (configured with -DCMAKE_INSTALL_PREFIX=/usr):  cpack -G DEB
#     pelvaro_<version>_<arch>.deb         the sender, its launcher and icon: no toolkit, no X
#     pelvaro-window_<version>_<arch>.deb  its window, the helper pelvaro-window
#   Windows (the mingw-w64 build):  cpack -G ZIP
#     pelvaro-<version>-win64.zip          pelvaro.exe, pelvaro.txt, setup.txt

set(CPACK_PACKAGE_NAME pelvaro)
set(CPACK_PACKAGE_VENDOR "pelvaro maintainers")
set(CPACK_PACKAGE_CONTACT "pelvaro maintainers <maintainers@users.noreply.c-seed-ecb29c98.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_SOURCE_GENERATOR "")
# The packages' copies are stripped; the build tree keeps the unstripped binaries, whose symbols
# (and, built RelWithDebInfo, debugging information) match the packaged ones by build ID.
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)  # the files at the top of the archive
  include(CPack)
  return()
endif()

set(CPACK_GENERATOR DEB)
# The install writes to /etc and other absolute places: into the package's tree, not the host's.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL core)
if(TARGET pelvaro-window)
  list(APPEND CPACK_COMPONENTS_ALL window)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_CORE_PACKAGE_NAME pelvaro)
set(CPACK_COMPONENT_CORE_DESCRIPTION "${PROJECT_DESCRIPTION}
Each time it starts, pelvaro reads a port number from its settings,
/etc/pelvaro/pelvaro.txt, opens that serial port at 9600 baud, 8 data bits,
no parity, 1 stop bit, writes the single byte 'a' and ends: a trigger for
a relay, a gate or a lamp behind a desktop launcher, a button or a script.
.
This package is the sender with its desktop launcher; it runs without a
display. Its window is in pelvaro-window.")
# Only suggested: apt installs what is recommended, and a headless machine wants nothing graphical.
set(CPACK_DEBIAN_CORE_PACKAGE_SUGGESTS pelvaro-window)

set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME pelvaro-window)
set(CPACK_COMPONENT_WINDOW_DEPENDS core)
set(CPACK_COMPONENT_WINDOW_DESCRIPTION "window of the pelvaro serial sender
pelvaro, a one-shot serial signal sender, shows its small window for the
moment of a send when an X display answers. This package is that window,
on FLTK; without it pelvaro runs the same with no window at all.")

# The settings are a configuration file: an upgrade keeps the user's edit, a purge removes it.
set(PELVARO_DEBIAN_CONTROL ${PROJECT_BINARY_DIR}/debian-control)
file(MAKE_DIRECTORY ${PELVARO_DEBIAN_CONTROL})
file(WRITE ${PELVARO_DEBIAN_CONTROL}/conffiles "${PELVARO_SETTINGS_DIR}/pelvaro.txt\n")
set(CPACK_DEBIAN_CORE_PACKAGE_CONTROL_EXTRA ${PELVARO_DEBIAN_CONTROL}/conffiles)

# Each package's copyright and changelog, as Debian wants them in its documentation folder.
configure_file(packaging/debian/changelog.in ${PELVARO_DEBIAN_CONTROL}/changelog @ONLY)
add_custom_command(OUTPUT ${PELVARO_DEBIAN_CONTROL}/changelog.gz
  COMMAND gzip -9nkf ${PELVARO_DEBIAN_CONTROL}/changelog
  DEPENDS ${PELVARO_DEBIAN_CONTROL}/changelog VERBATIM)
add_custom_target(pelvaro_debian_changelog ALL DEPENDS ${PELVARO_DEBIAN_CONTROL}/changelog.gz)
foreach(component core window)
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  install(FILES packaging/debian/copyright ${PELVARO_DEBIAN_CONTROL}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()

# A cross build's packages are for its target, and their dependencies are read from the target's
# own Debian packages in the sysroot (scripts/lib.sh's fetch_arm_sysroot unpacks each one with its
# control files beside the sysroot). dpkg-shlibdeps runs for that architecture, and without the
# leave CPack gives it to pass over a library no package provides: every library a cross-built
# binary needs must give its dependency, or the package would install on a board without it.
if(CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${PELVARO_CROSS_DEBIAN_ARCH})
  set(PELVARO_CROSS_SHLIBDEPS ${PROJECT_BINARY_DIR}/cross-shlibdeps)
  file(WRITE ${PELVARO_CROSS_SHLIBDEPS} "#!/bin/sh
# dpkg-shlibdeps for ${PELVARO_CROSS_DEBIAN_ARCH}, on the packages unpacked in ${PELVARO_CROSS_SYSROOT}-packages
for argument; do
  shift
  [ \"$argument\" = --ignore-missing-info ] || set -- \"$@\" \"$argument\"
done
for package in \"${PELVARO_CROSS_SYSROOT}-packages\"/*/; do
  set -- \"-S\${package%/}\" \"$@\"
done
DEB_HOST_ARCH=${PELVARO_CROSS_DEBIAN_ARCH} exec dpkg-shlibdeps \"$@\"
")
  file(CHMOD ${PELVARO_CROSS_SHLIBDEPS} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(PELVARO_CPACK_CROSS_OPTIONS "set(SHLIBDEPS_EXECUTABLE \"${PELVARO_CROSS_SHLIBDEPS}\")")
endif()

# Only /usr gives the places the system's own packages use (/etc for the settings). Each
# package's description starts with its own summary line, so the project's is not put before it.
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/cpack-options.cmake)
file(WRITE ${CPACK_PROJECT_CONFIG_FILE} "
if(CPACK_GENERATOR STREQUAL \"DEB\")
  if(NOT \"${CMAKE_INSTALL_PREFIX}\" STREQUAL \"/usr\")
    message(FATAL_ERROR \"A Debian package needs the build configured with -DCMAKE_INSTALL_PREFIX=/usr\")
  endif()
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY \"\")
  ${PELVARO_CPACK_CROSS_OPTIONS}
endif()
")

include(CPack)
