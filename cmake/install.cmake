# Where an install puts pelvaro, by each system's conventions.
#
# Linux: the executable and its window part in a folder of their own, a link to the executable in
# the commands' folder, and the settings file in the system's configuration folder, with a link to
# it beside the executable, where pelvaro reads it (through the running image's real path, which
# both links lead to):
#
#   /usr/lib/pelvaro/pelvaro          the program
#   /usr/lib/pelvaro/pelvaro.txt   -> /etc/pelvaro/pelvaro.txt
#   /usr/bin/pelvaro               -> ../lib/pelvaro/pelvaro
#   /etc/pelvaro/pelvaro.txt          shipped with com=KAPALI
#
# Windows: pelvaro.exe, pelvaro.txt and the setup text in one folder, the top of the zip.
#
# An install never overwrites a settings file that is already there.

set(PELVARO_SHIPPED_SETTINGS ${PROJECT_SOURCE_DIR}/data/pelvaro.txt)
set(PELVARO_LINKS ${PROJECT_BINARY_DIR}/install-links)

# Installs the shipped settings as DIRECTORY/pelvaro.txt unless a settings file is there.
function(pelvaro_install_settings source directory component)
  install(CODE "
    execute_process(COMMAND \"${CMAKE_COMMAND}\" -DSOURCE=${source}
      \"-DDESTINATION=\$ENV{DESTDIR}${directory}/pelvaro.txt\"
      -P \"${PROJECT_SOURCE_DIR}/cmake/ensure_settings_file.cmake\"
      COMMAND_ERROR_IS_FATAL ANY)
  " COMPONENT ${component})
endfunction()

# A symbolic link made in the build tree and installed as it is, so that packages carry it.
function(pelvaro_install_link target destination name component)
  file(MAKE_DIRECTORY ${PELVARO_LINKS}/${component})
  file(CREATE_LINK ${target} ${PELVARO_LINKS}/${component}/${name} SYMBOLIC)
  install(FILES ${PELVARO_LINKS}/${component}/${name} DESTINATION ${destination}
    COMPONENT ${component})
endfunction()

if(WIN32)
  install(TARGETS pelvaro RUNTIME DESTINATION . COMPONENT core)
  # Notepad's own line ends, for the two texts a Windows user opens.
  configure_file(${PELVARO_SHIPPED_SETTINGS} windows/pelvaro.txt NEWLINE_STYLE CRLF)
  configure_file(packaging/windows/setup.txt.in windows/setup.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_BINARY_DIR}/windows/setup.txt DESTINATION . COMPONENT core)
  pelvaro_install_settings(${PROJECT_BINARY_DIR}/windows/pelvaro.txt \${CMAKE_INSTALL_PREFIX} core)
  return()
endif()

# The settings' folder: under the prefix where the conventions put it there (/usr/local/etc for
# /usr/local), which then follows a prefix given at install time, and the link to it is relative;
# else the system's own (/etc for /usr), linked by its absolute name.
set(PELVARO_SETTINGS_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/pelvaro)
install(TARGETS pelvaro RUNTIME DESTINATION ${PELVARO_INSTALL_DIR} COMPONENT core)
configure_file(${PELVARO_SHIPPED_SETTINGS} linux/pelvaro.txt NEWLINE_STYLE UNIX)
if(CMAKE_INSTALL_FULL_SYSCONFDIR STREQUAL "${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SYSCONFDIR}")
  pelvaro_install_settings(${PROJECT_BINARY_DIR}/linux/pelvaro.txt
    \${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SYSCONFDIR}/pelvaro core)
  file(RELATIVE_PATH settings_link /${PELVARO_INSTALL_DIR}
    /${CMAKE_INSTALL_SYSCONFDIR}/pelvaro/pelvaro.txt)
else()
  pelvaro_install_settings(${PROJECT_BINARY_DIR}/linux/pelvaro.txt ${PELVARO_SETTINGS_DIR} core)
  set(settings_link ${PELVARO_SETTINGS_DIR}/pelvaro.txt)
endif()
pelvaro_install_link(${settings_link} ${PELVARO_INSTALL_DIR} pelvaro.txt core)
file(RELATIVE_PATH program_from_bin /${CMAKE_INSTALL_BINDIR} /${PELVARO_INSTALL_DIR}/pelvaro)
pelvaro_install_link(${program_from_bin} ${CMAKE_INSTALL_BINDIR} pelvaro core)

# The desktop launcher and its icon come with the sender they start (plain files, which need
# nothing graphical installed); the window part is optional.
install(FILES packaging/desktop/pelvaro.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT core)
install(FILES packaging/desktop/icons/pelvaro.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT core)
foreach(size 16 22 24 32 48 64 128 256)
  install(FILES packaging/desktop/icons/pelvaro-${size}.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
    RENAME pelvaro.png COMPONENT core)
endforeach()

# An example udev rule that gives a USB serial adapter a COM name, in the documentation.
install(FILES packaging/udev/99-pelvaro-com.rules
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/pelvaro/examples COMPONENT core)

# The manual page.
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/pelvaro.1.gz
  COMMAND gzip -9nc ${PROJECT_BINARY_DIR}/pelvaro.1 > ${PROJECT_BINARY_DIR}/pelvaro.1.gz
  DEPENDS ${PROJECT_BINARY_DIR}/pelvaro.1 VERBATIM)
configure_file(packaging/pelvaro.1.in pelvaro.1 @ONLY)
add_custom_target(pelvaro_manual_page ALL DEPENDS ${PROJECT_BINARY_DIR}/pelvaro.1.gz)
install(FILES ${PROJECT_BINARY_DIR}/pelvaro.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
  COMPONENT core)
