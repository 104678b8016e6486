# Install rules and the Debian package.
#
# `cmake --install` lays out a complete system below the prefix (and DESTDIR):
# the programs, the window's images, the systemd unit, the polkit action, the
# desktop entry with its hicolor icons, the default configuration, the manual
# pages and bash completion. `cpack -G DEB` (scripts/package.sh) wraps the same
# tree into a .deb with maintainer scripts that enable and start the service.
#
# The programs look for fixed system paths ("/etc/nelt/nelt_store.conf",
# "/usr/bin/nelt/.port.conf", polkit's "/usr/bin/snap"), so the default prefix
# is /usr: that is where the package puts them and where they work unmodified.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Install prefix" FORCE)
endif()
include(GNUInstallDirs)

set(NELT_DIST_DIR ${CMAKE_SOURCE_DIR}/dist)
set(NELT_PACKAGE_NAME neltstore)

# "/usr/bin/nelt" is the service's working folder (its port file and data
# live there), so the command line cannot be installed under its build name
# "nelt" in the same bin folder: it is installed as "nelt-cli".
set(NELT_CLI_INSTALL_NAME nelt-cli)

# ---------------------------------------------------------------- programs
# nelt-helper is the program the polkit actions name: the only one the
# window and nelt-cli run through pkexec for installs and removals.
install(TARGETS KavixService kavix-pack nelt-helper RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(PROGRAMS $<TARGET_FILE:nelt> DESTINATION ${CMAKE_INSTALL_BINDIR}
        RENAME ${NELT_CLI_INSTALL_NAME})
# A renamed copy is no target, so a stripping install (cpack) strips it here.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_STRIP}\"
                    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${NELT_CLI_INSTALL_NAME}\")
  endif()
")
if(TARGET NeltStore)
  install(TARGETS NeltStore RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# ------------------------------------------------ configuration and unit
# Both destinations are decided at install time, so `cmake --install --prefix`
# keeps everything below the prefix it is given: the configuration goes to
# PREFIX/etc, except for the system prefix /usr whose configuration folder is
# /etc, where the service reads it. The unit starts the service from the
# prefix's bin folder.
install(CODE "
  set(_nelt_etc \"\${CMAKE_INSTALL_PREFIX}/etc\")
  if(\"\${CMAKE_INSTALL_PREFIX}\" STREQUAL \"/usr\")
    set(_nelt_etc \"/etc\")
  endif()
  file(INSTALL DESTINATION \"\${_nelt_etc}/nelt\" TYPE FILE
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
       FILES \"${NELT_DIST_DIR}/nelt_store.conf\")

  file(READ \"${NELT_DIST_DIR}/nelt.service\" _nelt_unit)
  string(REPLACE \"ExecStart=/usr/bin/KavixService\"
         \"ExecStart=\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/KavixService\" _nelt_unit \"\${_nelt_unit}\")
  file(WRITE \"${CMAKE_BINARY_DIR}/dist/nelt.service\" \"\${_nelt_unit}\")
  file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\" TYPE FILE
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
       FILES \"${CMAKE_BINARY_DIR}/dist/nelt.service\")
")

install(FILES ${NELT_DIST_DIR}/vn.nelt.store.policy DESTINATION ${CMAKE_INSTALL_DATADIR}/polkit-1/actions)

# ------------------------------------------------ desktop entry and icons
install(FILES ${NELT_DIST_DIR}/neltstore.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
foreach(_size 48 128 256)
  install(FILES ${NELT_DIST_DIR}/icons/neltstore-${_size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${_size}x${_size}/apps
          RENAME neltstore.png)
endforeach()
install(FILES ${NELT_DIST_DIR}/icons/neltstore.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# --------------------------------------- manual pages, completion, docs
# Debian ships manual pages and changelogs compressed, without time stamps.
set(NELT_MAN_PAGES man/nelt-cli.1 man/kavix-pack.1 man/NeltStore.1 man/KavixService.8
                   man/nelt-helper.8)
set(_nelt_man_outputs)
foreach(_page IN LISTS NELT_MAN_PAGES)
  get_filename_component(_name ${_page} NAME)
  string(REGEX REPLACE ".*\\." "" _section ${_name})
  set(_out ${CMAKE_BINARY_DIR}/dist/man/${_name}.gz)
  add_custom_command(
    OUTPUT ${_out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/dist/man
    COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" sh ${NELT_DIST_DIR}/${_page} ${_out}
    DEPENDS ${NELT_DIST_DIR}/${_page}
    VERBATIM)
  list(APPEND _nelt_man_outputs ${_out})
  install(FILES ${_out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${_section})
endforeach()

configure_file(${NELT_DIST_DIR}/debian/changelog.in ${CMAKE_BINARY_DIR}/dist/changelog @ONLY)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/dist/changelog.gz
  COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" sh ${CMAKE_BINARY_DIR}/dist/changelog
          ${CMAKE_BINARY_DIR}/dist/changelog.gz
  DEPENDS ${CMAKE_BINARY_DIR}/dist/changelog
  VERBATIM)
add_custom_target(nelt_dist_docs ALL DEPENDS ${_nelt_man_outputs} ${CMAKE_BINARY_DIR}/dist/changelog.gz)

install(FILES ${NELT_DIST_DIR}/completion/nelt-cli DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES ${CMAKE_BINARY_DIR}/dist/changelog.gz ${NELT_DIST_DIR}/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${NELT_PACKAGE_NAME})

# ------------------------------------------------ update notifier
# Part of the window's package: nelt-notify and its manual page, and its
# autostart entry (below /etc like the configuration, so a conffile). The
# entry is installed without the window too: its TryExec hides it where the
# program is missing, and the conffile list stays the same.
install(CODE "
  set(_nelt_xdg \"\${CMAKE_INSTALL_PREFIX}/etc/xdg/autostart\")
  if(\"\${CMAKE_INSTALL_PREFIX}\" STREQUAL \"/usr\")
    set(_nelt_xdg \"/etc/xdg/autostart\")
  endif()
  file(INSTALL DESTINATION \"\${_nelt_xdg}\" TYPE FILE
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
       FILES \"${NELT_DIST_DIR}/nelt-notify.desktop\")
")
if(TARGET nelt-notify)
  install(TARGETS nelt-notify RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  set(_out ${CMAKE_BINARY_DIR}/dist/man/nelt-notify.1.gz)
  add_custom_command(
    OUTPUT ${_out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/dist/man
    COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" sh ${NELT_DIST_DIR}/man/nelt-notify.1 ${_out}
    DEPENDS ${NELT_DIST_DIR}/man/nelt-notify.1
    VERBATIM)
  add_custom_target(nelt_notify_docs ALL DEPENDS ${_out})
  install(FILES ${_out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# ---------------------------------------------------------------- .deb
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${NELT_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "NeltStore")
set(CPACK_PACKAGE_CONTACT "NeltStore developers <dev@nelt.vn>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop store for snap applications")
set(CPACK_PACKAGE_DESCRIPTION
    "NeltStore lets a desktop user browse a catalog of applications, sign in\n"
    "with a store account, and install, update, remove and launch applications\n"
    "delivered as snap packages.\n"
    "\n"
    "The package contains the store window (NeltStore), the background service\n"
    "that talks to the store server (KavixService, systemd unit nelt), the\n"
    "nelt-cli command line and the kavix-pack package builder.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://store.nelt.vn")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
# Absolute destinations (/etc) must land in the staging tree, never on the
# machine that builds the package.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "snapd, pkexec | policykit-1")
# Qt's own Vietnamese texts (standard buttons and dialogs of the window).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qttranslations5-l10n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${NELT_DIST_DIR}/debian/conffiles
    ${NELT_DIST_DIR}/debian/postinst
    ${NELT_DIST_DIR}/debian/prerm
    ${NELT_DIST_DIR}/debian/postrm)
include(CPack)
