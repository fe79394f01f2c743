# What `cmake --install` and the Debian package (`cpack -G DEB`) put on the
# system: the program, its desktop entry and AppStream metadata, icons, the
# manual page, the systemd user units for runs without a desktop, and the
# modules of the windows and the keyring.
include(GNUInstallDirs)
# Installing and packaging take the program as built (scripts/package builds
# it first) instead of building every test and benchmark on the way.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(VOREL_APP_ID example.vorel.Vorel)
set(VOREL_GEN ${CMAKE_BINARY_DIR}/install-data)
file(MAKE_DIRECTORY ${VOREL_GEN})

install(TARGETS vorel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The windows and the keyring, loaded by the program from here (CMakeLists.txt).
install(TARGETS vorel-windows vorel-keyring LIBRARY DESTINATION ${VOREL_MODULE_DIR}
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(FILES data/vorel.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES data/${VOREL_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES data/vorel.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES data/systemd/vorel-run.service data/systemd/vorel-run.timer
  DESTINATION lib/systemd/user)

# PNG sizes of the icon for desktops and software centres that want them.
set(VOREL_ICON_SIZES 16 22 24 32 48 64 128 256)
find_program(VOREL_RSVG rsvg-convert)
set(icon_files)
if(VOREL_RSVG)
  foreach(size ${VOREL_ICON_SIZES})
    set(png ${VOREL_GEN}/icons/${size}x${size}/vorel.png)
    add_custom_command(OUTPUT ${png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${VOREL_GEN}/icons/${size}x${size}
      COMMAND ${VOREL_RSVG} -w ${size} -h ${size} -o ${png} ${CMAKE_SOURCE_DIR}/data/vorel.svg
      DEPENDS ${CMAKE_SOURCE_DIR}/data/vorel.svg VERBATIM)
    list(APPEND icon_files ${png})
    install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()
else()
  message(STATUS "rsvg-convert not found (librsvg2-bin): only the SVG icon is installed")
endif()

# Debian wants the manual page and the changelog compressed, reproducibly.
set(man_gz ${VOREL_GEN}/vorel.1.gz)
set(changelog_gz ${VOREL_GEN}/changelog.gz)
add_custom_command(OUTPUT ${man_gz}
  COMMAND sh -c "gzip -9n -c '${CMAKE_SOURCE_DIR}/data/vorel.1' > '${man_gz}'"
  DEPENDS ${CMAKE_SOURCE_DIR}/data/vorel.1 VERBATIM)
add_custom_command(OUTPUT ${changelog_gz}
  COMMAND sh -c "gzip -9n -c '${CMAKE_SOURCE_DIR}/data/changelog' > '${changelog_gz}'"
  DEPENDS ${CMAKE_SOURCE_DIR}/data/changelog VERBATIM)
add_custom_target(vorel_install_data ALL DEPENDS ${icon_files} ${man_gz} ${changelog_gz})
install(FILES ${man_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${changelog_gz} data/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The Debian package. Dependencies come from the libraries the program links
# (dpkg-shlibdeps); Wayland sessions want Qt's Wayland platform plugin.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vorel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${VOREL_VERSION_PATCH})
set(CPACK_PACKAGE_CONTACT "The Vorel developers <vorel@vorel.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "e-mail autoresponder and mailing-list manager")
# The summary is the first line; CPack indents these lines.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Vorel answers and manages e-mail for one person without a mail server of
its own: on each mail run it logs in to a POP3 mailbox, deletes what the
anti-spam list names, answers messages by autoresponders, runs mailing lists
by e-mail and sends what it queued over an SMTP server. It runs from its
windows with a countdown in the tray, from the command line, or from a
systemd user timer.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "http://www.vorel.example/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS qt6-wayland)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
