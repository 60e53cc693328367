# What `cmake --install` puts under the prefix, and the Debian package made from it
# (`cpack -G DEB` in the build folder).
include(GNUInstallDirs)
# Installing and packaging take the programs as built (scripts/run builds only these two), and do
# not build the tests and benchmarks first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

install(TARGETS postbridge edhost RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/postbridge.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/postbridge.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
# The user unit names edhost by its full path, which is known only when installing: the package
# installs under /usr whatever prefix the build folder was configured with.
install(CODE "
  set(BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  configure_file(\"${CMAKE_CURRENT_LIST_DIR}/edhost.service.in\" \"${CMAKE_BINARY_DIR}/dist/edhost.service\" @ONLY)
  configure_file(\"${CMAKE_CURRENT_LIST_DIR}/postbridge-poll.service.in\" \"${CMAKE_BINARY_DIR}/dist/postbridge-poll.service\" @ONLY)
")
# The poll timer comes off: a poll every 15 minutes is the user's choice (see its comment).
install(FILES ${CMAKE_BINARY_DIR}/dist/edhost.service ${CMAKE_BINARY_DIR}/dist/postbridge-poll.service
              ${CMAKE_CURRENT_LIST_DIR}/postbridge-poll.timer
        DESTINATION lib/systemd/user)

# The manual pages, in German like the programs, where `man postbridge` finds them in every
# locale; compressed as Debian wants them (gzip -n: the same bytes for the same sources).
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/dist)
foreach(page postbridge.1 edhost.1)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/man/${page})
  execute_process(COMMAND gzip -9n -c ${CMAKE_CURRENT_LIST_DIR}/man/${page}
                  OUTPUT_FILE ${CMAKE_BINARY_DIR}/dist/${page}.gz COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${CMAKE_BINARY_DIR}/dist/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

# Who answers for the package; no project address existed before it, so this one was chosen
# with it (the project's own domain).
set(PB_MAINTAINER "Postbridge developers <postbridge@postbridge.org>")
# /usr/share/doc/postbridge: the README, the copyright and, as every Debian package has, a
# changelog (gzip -n: the same bytes for the same sources). The changelog's one entry is this
# version; the history itself is the project's git log.
string(TIMESTAMP PB_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${CMAKE_BINARY_DIR}/dist/changelog @ONLY)
execute_process(COMMAND gzip -9n -c ${CMAKE_BINARY_DIR}/dist/changelog
                OUTPUT_FILE ${CMAKE_BINARY_DIR}/dist/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_CURRENT_LIST_DIR}/copyright
              ${CMAKE_BINARY_DIR}/dist/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/postbridge)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME postbridge)
set(CPACK_PACKAGE_VENDOR Postbridge)
set(CPACK_PACKAGE_CONTACT "${PB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Internet mail for a FidoNet point program's message base
Postbridge fetches the new mails of one POP3 mailbox into the area EMAIL of the
point program's message base and sends the messages written there through an
SMTP server, with an address book for the recipients and an activity log that
is stored in the area REPORT. The window is in German.
.
The package holds the window (postbridge) and the host program that keeps the
message base (edhost), with a systemd user unit that starts it:
systemctl --user enable --now edhost
The window from the desktop menu starts the host itself when none runs. A
systemd user timer polls every 15 minutes without the window once turned on:
systemctl --user enable --now postbridge-poll.timer")
# The libraries the programs link come from dpkg-shlibdeps; what they load at run time, it
# cannot see: Qt's platform plug-ins, the fonts the window asks for, and libsecret, through
# which QtKeychain reaches the desktop keyring. The windows are laid out
# in pixels for Liberation Sans and Mono (the metrics of Arial and Courier New): no other font
# may stand in for them, a wider one cuts the button labels.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-liberation, libsecret-1-0")
include(CPack)
