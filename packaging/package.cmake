# The Debian package, made with CPack (see scripts/package): the program and its ring sound
# from assets/, plus the AppStream metainfo, manual page, copyright and changelog from here,
# and a postinst that lets the program listen on port 1001.

set(QUORELL_PACKAGE_MAINTAINER "Quorell developers <quorell@example.org>" CACHE STRING
  "Maintainer field of the Debian package")
set(QUORELL_PACKAGE_RELEASE 1 CACHE STRING "Debian revision of the package")
set(QUORELL_APP_ID io.github.quorell.Quorell)

set(pkg_src ${CMAKE_CURRENT_LIST_DIR})
set(pkg_out ${CMAKE_BINARY_DIR}/packaging)
set(QUORELL_PACKAGE_VERSION ${PROJECT_VERSION}-${QUORELL_PACKAGE_RELEASE})

# Debian wants these compressed with gzip -9n (no name, no time stamp, so builds repeat).
function(quorell_gzip src dst)
  file(MAKE_DIRECTORY ${pkg_out})
  execute_process(COMMAND gzip -9n -c ${src} OUTPUT_FILE ${dst} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "gzip failed on ${src}")
  endif()
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${src})
endfunction()

configure_file(${pkg_src}/changelog.in ${pkg_out}/changelog @ONLY)
quorell_gzip(${pkg_out}/changelog ${pkg_out}/changelog.Debian.gz)
quorell_gzip(${pkg_src}/quorell.1 ${pkg_out}/quorell.1.gz)
configure_file(${pkg_src}/${QUORELL_APP_ID}.metainfo.xml.in
  ${pkg_out}/${QUORELL_APP_ID}.metainfo.xml @ONLY)

install(FILES ${pkg_out}/${QUORELL_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${pkg_out}/quorell.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${pkg_src}/copyright ${pkg_out}/changelog.Debian.gz
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quorell)
install(FILES ${pkg_src}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
  RENAME quorell)

# The postinst grants the capability to the program where the package puts it.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
if(IS_ABSOLUTE "${QUORELL_INSTALL_PKGDIR}")
  set(QUORELL_PACKAGED_PROGRAM ${QUORELL_INSTALL_PKGDIR}/quorell)
else()
  set(QUORELL_PACKAGED_PROGRAM ${CPACK_PACKAGING_INSTALL_PREFIX}/${QUORELL_INSTALL_PKGDIR}/quorell)
endif()
configure_file(${pkg_src}/postinst.in ${pkg_out}/postinst @ONLY)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorell)
set(CPACK_PACKAGE_VENDOR "Quorell developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${QUORELL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_RELEASE ${QUORELL_PACKAGE_RELEASE})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "chat, files, video and voice with one person on the LAN
Quorell is a chat tool for two people on one local network, with no server
and no account: one types the other's IPv4 address and the two exchange text
messages, files, live video and voice directly between their machines.
It listens on TCP port 1001, UDP port 8090 and TCP port 9002.")
# Libraries from the binary itself, plus what Qt loads at run time: the camera through
# GStreamer, the platform plugins, a Chinese font for the window, Qt's Chinese texts for its
# dialogs and buttons, setcap for the postinst, and the sound server's client library that tells
# the desktop's microphone and speaker, and the TLS library of the sessions between two copies, and SQLite for the kept chat history.
# Calls load GStreamer's elements by name, which no library dependency shows: webrtcbin, DTLS,
# SRTP and echo cancellation from plugins-bad, ICE from gstreamer1.0-nice, Opus and the
# converters from plugins-base, VP8, RTP and the sound server's pulsesrc and pulsesink from
# plugins-good (since 1.22 the pulse plugin is there; gstreamer1.0-pulseaudio is only a
# transitional package for it), queues and capsfilters from GStreamer itself.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "gstreamer1.0-plugins-base (>= 1.22), gstreamer1.0-plugins-good (>= 1.22), gstreamer1.0-plugins-bad (>= 1.22), gstreamer1.0-nice, libgstreamer1.0-0 (>= 1.22), qt6-qpa-plugins, fonts-wqy-microhei, qt6-translations-l10n, libcap2-bin, libpulse0, libssl3, libsqlite3-0")
# Screen readers hear the window through Qt's accessibility bridge, which talks to the desktop's
# accessibility bus; the desktop usually brings it, so it is recommended rather than required.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "at-spi2-core")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${pkg_out}/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PROJECT_CONFIG_FILE ${pkg_src}/cpack_project.cmake)
include(CPack)
