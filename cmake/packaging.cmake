# Install rules and the packages (CPack): in the Windows build a zip for Windows users, in the
# native build a .deb for Debian and Ubuntu. `make dist` (scripts/dist.sh) builds both from
# Release trees, never from the sanitizer builds.
include(GNUInstallDirs)

set(KESTRUNE_DOCS README.md CHANGELOG.md docs/cli-info.md docs/serve.md docs/station.md
                  docs/report.md docs/ports.md docs/mkimage.md docs/boxsim.md docs/boxes.md
                  docs/monitoring.md docs/service.md)
# The zip has no box simulator and no pictures: its README is the Windows user's own, and
# every document it names is in the zip (source file -> name in the zip).
set(KESTRUNE_WINDOWS_DOCS docs/windows-readme.md:README.txt CHANGELOG.md:CHANGELOG.txt
                          docs/cli-info.md:docs/cli-info.txt docs/serve.md:docs/serve.txt
                          docs/station.md:docs/station.txt docs/report.md:docs/report.txt
                          docs/ports.md:docs/ports.txt
                          docs/mkimage.md:docs/mkimage.txt docs/boxes.md:docs/boxes.txt)

set(CPACK_PACKAGE_NAME kestrune)
set(CPACK_PACKAGE_VENDOR "Kestrune developers")
set(CPACK_PACKAGE_CONTACT "Kestrune developers <kestrune@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Serial download server for the Veltrano digital-TV set top box")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES TRUE)
set(CPACK_SOURCE_GENERATOR "")

if(WIN32)
  # kestrune-<version>-win64.zip: the programs, the sample image, and the documents as CR LF
  # text files that Notepad opens.
  install(TARGETS kestrune-cli kestrune-mkimage RUNTIME DESTINATION .)
  if(TARGET Kestrune)
    install(TARGETS Kestrune RUNTIME DESTINATION .)
  endif()
  install(FILES ${KESTRUNE_ROOT}/samples/sample.dl DESTINATION .)
  set(KESTRUNE_TEXT_DIR ${CMAKE_BINARY_DIR}/text)
  set(KESTRUNE_TEXT_FILES)
  foreach(pair ${KESTRUNE_WINDOWS_DOCS})
    string(REPLACE ":" ";" pair ${pair})
    list(GET pair 0 doc)
    list(GET pair 1 target)
    get_filename_component(dir ${target} DIRECTORY)
    set(out ${KESTRUNE_TEXT_DIR}/${target})
    add_custom_command(OUTPUT ${out}
                       COMMAND ${CMAKE_COMMAND} -DIN=${KESTRUNE_ROOT}/${doc} -DOUT=${out}
                               -P ${KESTRUNE_ROOT}/cmake/crlf.cmake
                       DEPENDS ${KESTRUNE_ROOT}/${doc} ${KESTRUNE_ROOT}/cmake/crlf.cmake
                       COMMENT "Writing ${target}")
    list(APPEND KESTRUNE_TEXT_FILES ${out})
    install(FILES ${out} DESTINATION ./${dir})
  endforeach()
  add_custom_target(kestrune_text ALL DEPENDS ${KESTRUNE_TEXT_FILES})

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME kestrune-${PROJECT_VERSION}-win64)
else()
  # kestrune_<version>_amd64.deb.
  # The window's launcher, with the version filled in; it finds Kestrune.exe installed in
  # lib/kestrune or, in a source tree, in build/windows.
  configure_file(${KESTRUNE_ROOT}/scripts/kestrune-window.in ${CMAKE_BINARY_DIR}/kestrune-window
                 @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                 GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  install(TARGETS kestrune-cli kestrune-mkimage RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(TARGET kestrune-boxsim)
    install(TARGETS kestrune-boxsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  install(PROGRAMS ${CMAKE_BINARY_DIR}/kestrune-window DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${KESTRUNE_ROOT}/scripts/wine-env.sh
          DESTINATION ${CMAKE_INSTALL_DATADIR}/kestrune)
  install(FILES ${KESTRUNE_ROOT}/samples/sample.dl DESTINATION ${CMAKE_INSTALL_DATADIR}/kestrune)
  # A station as a system service: docs/service.md.
  # Debian 12 keeps units in /lib/systemd/system, whatever the prefix.
  install(FILES ${KESTRUNE_ROOT}/service/kestrune-station@.service
          DESTINATION /lib/systemd/system)
  install(FILES ${KESTRUNE_ROOT}/service/kestrune.logrotate DESTINATION /etc/logrotate.d
          RENAME kestrune)
  install(FILES ${KESTRUNE_ROOT}/service/station-example.toml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kestrune)
  # A plant's Prometheus and Grafana: docs/monitoring.md.
  install(FILES ${KESTRUNE_ROOT}/monitoring/kestrune-alerts.yml
                ${KESTRUNE_ROOT}/monitoring/kestrune-grafana-dashboard.json
          DESTINATION ${CMAKE_INSTALL_DATADIR}/kestrune)
  foreach(doc ${KESTRUNE_DOCS})
    install(FILES ${KESTRUNE_ROOT}/${doc} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kestrune)
  endforeach()
  # Debian's own two documents: the copyright in the machine-readable format, and a changelog
  # (gzipped, in Debian's format) pointing to CHANGELOG.md.
  install(FILES ${KESTRUNE_ROOT}/cmake/debian-copyright DESTINATION
          ${CMAKE_INSTALL_DATADIR}/doc/kestrune RENAME copyright)
  set(KESTRUNE_DEB_CHANGELOG ${CMAKE_BINARY_DIR}/changelog.gz)
  add_custom_command(OUTPUT ${KESTRUNE_DEB_CHANGELOG}
                     COMMAND bash ${KESTRUNE_ROOT}/scripts/deb-changelog.sh ${PROJECT_VERSION}
                             ${KESTRUNE_ROOT}/CHANGELOG.md ${KESTRUNE_DEB_CHANGELOG}
                     DEPENDS ${KESTRUNE_ROOT}/CHANGELOG.md ${KESTRUNE_ROOT}/scripts/deb-changelog.sh
                     COMMENT "Writing the Debian changelog")
  add_custom_target(kestrune_deb_changelog ALL DEPENDS ${KESTRUNE_DEB_CHANGELOG})
  install(FILES ${KESTRUNE_DEB_CHANGELOG} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kestrune)
  # lintian's tags that only Debian's archive cares about, each with its reason.
  install(FILES ${KESTRUNE_ROOT}/cmake/lintian-overrides DESTINATION
          ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME kestrune)
  # The window for the launcher: the Windows build's Kestrune.exe, when one is given.
  set(KESTRUNE_WINDOW_EXE "" CACHE FILEPATH "Kestrune.exe that the .deb carries for kestrune-window")
  if(KESTRUNE_WINDOW_EXE)
    install(FILES ${KESTRUNE_WINDOW_EXE} DESTINATION ${CMAKE_INSTALL_LIBDIR}/kestrune)
  endif()

  # The man pages and the bash completion of kestrune-cli, kestrune-mkimage and kestrune-boxsim
  # are written by each program from its own argument definition (its hidden --man-page and
  # --bash-completion), so they hold every command and option it takes. kestrune-window, a
  # shell script, has a completion file of its own and its page from help2man.
  set(kestrune-cli_NAME "serve download images to a Veltrano set top box, show their details")
  set(kestrune-mkimage_NAME "write Veltrano download images (.dl)")
  set(kestrune-boxsim_NAME "play a Veltrano set top box on a pseudo-terminal")
  set(kestrune-window_NAME "open the Kestrune window under Wine on serial devices")
  set(KESTRUNE_MAN_PAGES)
  set(KESTRUNE_COMPLETIONS)
  foreach(program kestrune-cli kestrune-mkimage kestrune-boxsim)
    if(NOT TARGET ${program})
      continue()
    endif()
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1.gz)
    set(completion ${CMAKE_BINARY_DIR}/completions/${program})
    add_custom_command(OUTPUT ${page}
                       COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
                       COMMAND bash -c "set -o pipefail; \"$1\" --man-page \"$2\" | gzip -9n >\"$3\""
                               _ $<TARGET_FILE:${program}> "${${program}_NAME}" ${page}
                       DEPENDS ${program}
                       COMMENT "Writing the man page of ${program}" VERBATIM)
    add_custom_command(OUTPUT ${completion}
                       COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/completions
                       COMMAND bash -c "\"$1\" --bash-completion >\"$2\"" _
                               $<TARGET_FILE:${program}> ${completion}
                       DEPENDS ${program}
                       COMMENT "Writing the bash completion of ${program}" VERBATIM)
    list(APPEND KESTRUNE_MAN_PAGES ${page})
    list(APPEND KESTRUNE_COMPLETIONS ${completion})
  endforeach()
  add_custom_target(kestrune_completion ALL DEPENDS ${KESTRUNE_COMPLETIONS})
  install(FILES ${KESTRUNE_COMPLETIONS} DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
  install(FILES ${KESTRUNE_ROOT}/scripts/completion/kestrune.bash
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME kestrune-window)
  find_program(KESTRUNE_HELP2MAN help2man)
  if(KESTRUNE_HELP2MAN)
    set(page ${CMAKE_BINARY_DIR}/man/kestrune-window.1.gz)
    add_custom_command(OUTPUT ${page}
                       COMMAND bash ${KESTRUNE_ROOT}/scripts/make-man.sh
                               ${CMAKE_BINARY_DIR}/kestrune-window ${page} "${kestrune-window_NAME}"
                       DEPENDS ${CMAKE_BINARY_DIR}/kestrune-window ${KESTRUNE_ROOT}/scripts/make-man.sh
                       COMMENT "Writing the man page of kestrune-window" VERBATIM)
    list(APPEND KESTRUNE_MAN_PAGES ${page})
  endif()
  add_custom_target(kestrune_man ALL DEPENDS ${KESTRUNE_MAN_PAGES})
  install(FILES ${KESTRUNE_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # What is in /etc is the admin's once installed: dpkg keeps their changes at an upgrade.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${KESTRUNE_ROOT}/service/conffiles)
  # The launcher needs Wine; the command-line programs do not.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "wine, wine64")
  # The long description; CPack puts the summary before it and indents it, an empty line
  # becoming a paragraph break.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "Kestrune sends a download image (.dl) to a Veltrano set top box on a serial\n\
null-modem cable: it waits for the box to wake up and serves the image over\n\
the DSM-CC user-to-network download protocol, every message in a checked\n\
link frame.\n\
\n\
kestrune-cli serves one box on any serial port with a progress bar, a test\n\
log and a packet capture for Wireshark; as a station it flashes boxes on many\n\
ports at once, unattended, with a record of every box; it lists the serial\n\
ports of the machine (USB adapters with their maker and stable names) and\n\
prints an image's details.\n\
\n\
kestrune-window opens the Kestrune window (the Windows program) under Wine,\n\
its COM1 and COM2 on serial devices of your choice. kestrune-mkimage writes\n\
images and kestrune-boxsim plays a box on a pseudo-terminal, for tests.")
endif()

include(CPack)
