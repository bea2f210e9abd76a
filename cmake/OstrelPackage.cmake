# What `cmake --install` lays out and what CPack's DEB generator makes of it (scripts/package.sh). CPack
# and not debhelper: the package comes from the same install rules as any build of the tree, so a build
# directory that exists already is packaged without a second build system driving a second build.
include(GNUInstallDirs)

install(TARGETS ostrel RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(FILES etc/ostrel.production.cfg DESTINATION /etc/ostrel RENAME ostrel.cfg)
install(FILES etc/ostrel.logrotate DESTINATION /etc/logrotate.d RENAME ostrel)
install(FILES etc/ostrel.service DESTINATION /lib/systemd/system)
install(DIRECTORY etc/ring/ DESTINATION ${CMAKE_INSTALL_DATADIR}/ostrel/ring)
install(FILES docs/configuration.md docs/events-and-ha.md packaging/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
foreach(doc running.md security.md)
  if(EXISTS ${CMAKE_SOURCE_DIR}/docs/${doc})
    install(FILES docs/${doc} DESTINATION ${CMAKE_INSTALL_DOCDIR})
  endif()
endforeach()

# Debian wants the manual page and the changelog compressed, reproducibly (no name, no time stamp).
set(OSTREL_PACKAGE_STAGE ${CMAKE_BINARY_DIR}/package-stage)
if(TARGET manual)
  add_custom_command(OUTPUT ${OSTREL_PACKAGE_STAGE}/ostrel.8.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${OSTREL_PACKAGE_STAGE}
    COMMAND gzip -9n -c ${CMAKE_BINARY_DIR}/docs/man/ostrel.8 > ${OSTREL_PACKAGE_STAGE}/ostrel.8.gz
    DEPENDS manual ${CMAKE_BINARY_DIR}/docs/man/ostrel.8 VERBATIM)
  add_custom_target(manual_gz ALL DEPENDS ${OSTREL_PACKAGE_STAGE}/ostrel.8.gz)
  install(FILES ${OSTREL_PACKAGE_STAGE}/ostrel.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
endif()
string(TIMESTAMP OSTREL_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${OSTREL_PACKAGE_STAGE}/changelog
  "ostrel (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
  "  * Release ${PROJECT_VERSION}.\n\n"
  " -- The Ostrel developers <developers@ostrel.net>  ${OSTREL_CHANGELOG_DATE}\n")
execute_process(COMMAND gzip -9nf ${OSTREL_PACKAGE_STAGE}/changelog)
install(FILES ${OSTREL_PACKAGE_STAGE}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ostrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "The Ostrel developers <developers@ostrel.net>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SIP signalling and media relay for phones behind NAT")
set(CPACK_PACKAGE_DESCRIPTION "Ostrel sits between SIP phones behind NAT and one SIP server: it relays
and rewrites SIP over UDP, caches registrations, learns each phone's NAT
type, anchors RTP when needed (with transcoding, SRTP toward the phone and
ringback), resists floods, reports events and replicates its state to an
HA peer.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/packaging/debian/conffiles ${CMAKE_SOURCE_DIR}/packaging/debian/postinst
  ${CMAKE_SOURCE_DIR}/packaging/debian/prerm ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
