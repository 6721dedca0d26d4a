# Runs at the end of `cmake --install`, after the binary and Sound.WAV are in place.
# Expects QUORELL_PKGDIR, QUORELL_BINDIR, QUORELL_SETCAP and QUORELL_HAVE_PROGRAM.

if(NOT QUORELL_HAVE_PROGRAM)
  return()
endif()

foreach(var PKGDIR BINDIR)
  if(IS_ABSOLUTE "${QUORELL_${var}}")
    set(full_${var} "${QUORELL_${var}}")
  else()
    set(full_${var} "${CMAKE_INSTALL_PREFIX}/${QUORELL_${var}}")
  endif()
endforeach()

set(program "${full_PKGDIR}/quorell")
set(staged_program "$ENV{DESTDIR}${program}")
set(link "$ENV{DESTDIR}${full_BINDIR}/quorell")

# Command on PATH: a relative symlink, so it stays valid inside DESTDIR and after moving the tree.
file(RELATIVE_PATH link_target "${full_BINDIR}" "${program}")
message(STATUS "Installing: ${link} -> ${link_target}")
file(MAKE_DIRECTORY "$ENV{DESTDIR}${full_BINDIR}")
file(REMOVE "${link}")
file(CREATE_LINK "${link_target}" "${link}" SYMBOLIC RESULT link_result)
if(NOT link_result EQUAL 0)
  message(FATAL_ERROR "Cannot create ${link}: ${link_result}")
endif()
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${full_BINDIR}/quorell")

# A package carries no file capabilities; its postinst grants the capability on the target
# machine instead (packaging/postinst.in).
if(NOT QUORELL_SETCAP OR "$ENV{QUORELL_PACKAGING}")
  return()
endif()

# TCP port 1001 and voice ports below 1024 need CAP_NET_BIND_SERVICE. Granting it needs
# root and a file system with extended attributes; without it the program still installs.
set(manual "grant it by hand with:\n  sudo setcap cap_net_bind_service=+ep ${program}")
find_program(QUORELL_SETCAP_EXE setcap PATHS /usr/sbin /sbin NO_CACHE)
if(NOT QUORELL_SETCAP_EXE)
  message(WARNING "setcap was not found (package libcap2-bin), so ${staged_program} cannot "
                  "listen on ports below 1024 yet; ${manual}")
  return()
endif()
execute_process(
  COMMAND "${QUORELL_SETCAP_EXE}" cap_net_bind_service=+ep "${staged_program}"
  RESULT_VARIABLE setcap_result
  ERROR_VARIABLE setcap_error
  OUTPUT_QUIET)
if(setcap_result EQUAL 0)
  message(STATUS "Granted cap_net_bind_service to ${staged_program}")
else()
  string(STRIP "${setcap_error}" setcap_error)
  message(WARNING "Could not grant cap_net_bind_service to ${staged_program} "
                  "(${setcap_error}); the program cannot listen on ports below 1024 until "
                  "you ${manual}")
endif()
