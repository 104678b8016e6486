# Install rules and the Debian packages.
#
# `cmake --install` lays out a complete system below the prefix (and DESTDIR):
# the programs, the window's images, the systemd unit, the polkit action, the
# desktop entry with its hicolor icons, the default configuration, the manual
# pages and bash completion. `cpack -G DEB` (scripts/package.sh) wraps the same
# tree into two .deb packages, as Debian does for a daemon with clients:
#   neltstore-service  the service, nelt-helper, nelt-cli, kavix-pack, the
#                      unit, polkit policy, configuration, their manual pages
#                      and completion, with the maintainer scripts that
#                      enable and start the service. No Qt: a machine without
#                      a desktop is managed with nelt-cli.
#   neltstore          the window, its images, desktop entry, icons and
#                      manual page; depends on the first.
# Each install rule names its component ("service" or "window"); rules
# without one (the window's images, installed by store/views) belong to the
# window's package.
#
# The programs look for fixed system paths ("/etc/nelt/nelt_store.conf",
# "/usr/bin/nelt/.port.conf", polkit's "/usr/bin/nelt-helper"), so the default
# prefix is /usr: that is where the packages put them and where they work
# unmodified.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Install prefix" FORCE)
endif()
include(GNUInstallDirs)

set(NELT_DIST_DIR ${CMAKE_SOURCE_DIR}/dist)
set(NELT_PACKAGE_NAME neltstore)
set(NELT_SERVICE_PACKAGE_NAME neltstore-service)

# "/usr/bin/nelt" is the folder of the clients' port file (a link to the one
# below /run/nelt), so the command line cannot be installed under its build
# name "nelt" in the same bin folder: it is installed as "nelt-cli".
set(NELT_CLI_INSTALL_NAME nelt-cli)

# ---------------------------------------------------------------- programs
# nelt-helper is the program the polkit actions name: the only one the
# window and nelt-cli run through pkexec for installs and removals.
install(TARGETS KavixService kavix-pack nelt-helper RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT service)
install(PROGRAMS $<TARGET_FILE:nelt> DESTINATION ${CMAKE_INSTALL_BINDIR}
        RENAME ${NELT_CLI_INSTALL_NAME} COMPONENT service)
# A renamed copy is no target, so a stripping install (cpack) strips it here.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_STRIP}\"
                    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${NELT_CLI_INSTALL_NAME}\")
  endif()
" COMPONENT service)

# The service writes its port file below /run/nelt (configuration key
# "port_file"); the window, nelt-cli and other clients read the fixed path
# "/usr/bin/nelt/.port.conf", shipped as a link to it, so nothing below /usr
# is written while the system runs.
install(CODE "
  file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/nelt\")
  file(CREATE_LINK /run/nelt/.port.conf
       \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/nelt/.port.conf\" SYMBOLIC)
" COMPONENT service)
if(TARGET NeltStore)
  install(TARGETS NeltStore RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT window)
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
" COMPONENT service)

install(FILES ${NELT_DIST_DIR}/vn.nelt.store.policy DESTINATION ${CMAKE_INSTALL_DATADIR}/polkit-1/actions
        COMPONENT service)

# ------------------------------------------------ desktop entry and icons
install(FILES ${NELT_DIST_DIR}/neltstore.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
        COMPONENT window)
foreach(_size 48 128 256)
  install(FILES ${NELT_DIST_DIR}/icons/neltstore-${_size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${_size}x${_size}/apps
          RENAME neltstore.png COMPONENT window)
endforeach()
install(FILES ${NELT_DIST_DIR}/icons/neltstore.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
        COMPONENT window)

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
  if(_name STREQUAL "NeltStore.1")
    set(_component window)
  else()
    set(_component service)
  endif()
  install(FILES ${_out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${_section} COMPONENT ${_component})
endforeach()

configure_file(${NELT_DIST_DIR}/debian/changelog.in ${CMAKE_BINARY_DIR}/dist/changelog @ONLY)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/dist/changelog.gz
  COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" sh ${CMAKE_BINARY_DIR}/dist/changelog
          ${CMAKE_BINARY_DIR}/dist/changelog.gz
  DEPENDS ${CMAKE_BINARY_DIR}/dist/changelog
  VERBATIM)
add_custom_target(nelt_dist_docs ALL DEPENDS ${_nelt_man_outputs} ${CMAKE_BINARY_DIR}/dist/changelog.gz)

install(FILES ${NELT_DIST_DIR}/completion/nelt-cli DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        COMPONENT service)
# Each package carries its own copyright and changelog.
install(FILES ${CMAKE_BINARY_DIR}/dist/changelog.gz ${NELT_DIST_DIR}/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${NELT_SERVICE_PACKAGE_NAME} COMPONENT service)
install(FILES ${CMAKE_BINARY_DIR}/dist/changelog.gz ${NELT_DIST_DIR}/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${NELT_PACKAGE_NAME} COMPONENT window)
# The link of the clients' port file sits below /usr/bin (see above).
install(FILES ${NELT_DIST_DIR}/debian/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${NELT_SERVICE_PACKAGE_NAME}
        COMPONENT service)

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
set(CPACK_PACKAGE_HOMEPAGE_URL "https://store.nelt.vn")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
# Absolute destinations (/etc) must land in the staging tree, never on the
# machine that builds the package.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE ${NELT_PACKAGE_NAME})
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# One package per group: the window's group also takes the rules without a
# component ("Unspecified").
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_COMPONENTS_ALL service window Unspecified)
set(CPACK_COMPONENT_SERVICE_GROUP service)
set(CPACK_COMPONENT_WINDOW_GROUP window)
set(CPACK_COMPONENT_UNSPECIFIED_GROUP window)

set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME ${NELT_SERVICE_PACKAGE_NAME})
set(CPACK_DEBIAN_SERVICE_PACKAGE_SECTION admin)
# What really runs: snapd (`snap list`, `snap install` through the helper),
# pkexec (policykit-1 before pkexec was split out of it), lsb_release (the
# machine's description) and unsquashfs (the helper's and the engine's
# checks of snap.yaml).
set(CPACK_DEBIAN_SERVICE_PACKAGE_DEPENDS "snapd, pkexec | policykit-1, lsb-release, squashfs-tools")
# The files came from the single "neltstore" package of earlier versions.
set(CPACK_DEBIAN_SERVICE_PACKAGE_REPLACES "${NELT_PACKAGE_NAME} (<< 0.2.0)")
set(CPACK_DEBIAN_SERVICE_PACKAGE_BREAKS "${NELT_PACKAGE_NAME} (<< 0.2.0)")
set(CPACK_DEBIAN_SERVICE_DESCRIPTION
    "desktop store for snap applications - service and command line\n"
    "NeltStore installs, updates, removes and launches applications delivered\n"
    "as snap packages from a store server, for signed-in store accounts.\n"
    "\n"
    "This package holds the background service (KavixService, systemd unit\n"
    "nelt), its privileged helper nelt-helper with the polkit policy, the\n"
    "nelt-cli command line and the kavix-pack package builder. It needs no\n"
    "graphical environment.")
string(REPLACE ";" "" CPACK_DEBIAN_SERVICE_DESCRIPTION "${CPACK_DEBIAN_SERVICE_DESCRIPTION}")
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA
    ${NELT_DIST_DIR}/debian/conffiles
    ${NELT_DIST_DIR}/debian/postinst
    ${NELT_DIST_DIR}/debian/prerm
    ${NELT_DIST_DIR}/debian/postrm)

set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME ${NELT_PACKAGE_NAME})
set(CPACK_DEBIAN_WINDOW_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_WINDOW_PACKAGE_DEPENDS "${NELT_SERVICE_PACKAGE_NAME} (= ${PROJECT_VERSION})")
# The update notifier's autostart entry lives below /etc: a conffile.
set(CPACK_DEBIAN_WINDOW_PACKAGE_CONTROL_EXTRA ${NELT_DIST_DIR}/debian/window/conffiles)
set(CPACK_DEBIAN_WINDOW_DESCRIPTION
    "desktop store for snap applications - store window\n"
    "NeltStore lets a desktop user browse a catalog of applications, sign in\n"
    "with a store account, and install, update, remove and launch applications\n"
    "delivered as snap packages.\n"
    "\n"
    "This package holds the store window (NeltStore) with its desktop entry\n"
    "and icons; the service it talks to comes with neltstore-service.")
string(REPLACE ";" "" CPACK_DEBIAN_WINDOW_DESCRIPTION "${CPACK_DEBIAN_WINDOW_DESCRIPTION}")
include(CPack)
