# What `cmake --install` puts where (GNUInstallDirs), in two components:
#   daemon  zandrel in sbin; its systemd unit, init script and defaults
#           file; zandrel(8); the RADIUS dictionary; the operator's docs
#   sim     the simulated board: oltsim, ponkernel and ponctl in bin;
#           ponctl(1); the example board file and its RADIUS users; its docs
# `DESTDIR=STAGE cmake --install build --prefix /usr --component daemon`
# gives the tree a board image takes as it is. Nothing goes to the daemon's
# runtime paths (/tmp, /etc/config, /usr/local/share, /dev): they are the
# board's. Then the Debian packages zandrel and zandrel-sim, one per
# component (`cpack` in the build tree).
include(GNUInstallDirs)

set(ZANDREL_PACKAGING ${CMAKE_SOURCE_DIR}/packaging)
set(ZANDREL_GENERATED ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${ZANDREL_GENERATED})

# Debian keeps manual pages and changelogs compressed at the highest level,
# without a name or timestamp in the header (gzip -9n).
find_program(ZANDREL_GZIP gzip)
function(zandrel_compressed source output)
  if(ZANDREL_GZIP)
    execute_process(COMMAND ${ZANDREL_GZIP} -9nc ${source} OUTPUT_FILE ${output} COMMAND_ERROR_IS_FATAL ANY)
  else()
    string(REGEX REPLACE "\\.gz$" "" output ${output})
    configure_file(${source} ${output} COPYONLY)
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  set(compressed ${output} PARENT_SCOPE)
endfunction()

set(ZANDREL_MAINTAINER "zandrel developers <zandrel-dev@example.org>"
    CACHE STRING "Maintainer named in the Debian packages")
set(ZANDREL_DEB_RELEASE 1)
set(ZANDREL_DEB_VERSION ${PROJECT_VERSION}-${ZANDREL_DEB_RELEASE})

# component, package, docs
function(zandrel_package_docs component package)
  set(docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package})
  install(FILES ${ARGN} ${ZANDREL_PACKAGING}/copyright DESTINATION ${docdir} COMPONENT ${component})
  set(ZANDREL_PACKAGE ${package})
  set(changelog ${ZANDREL_GENERATED}/doc-${package}/changelog.Debian)
  configure_file(${ZANDREL_PACKAGING}/changelog.Debian.in ${changelog} @ONLY)
  zandrel_compressed(${changelog} ${changelog}.gz)
  install(FILES ${compressed} DESTINATION ${docdir} COMPONENT ${component})
  install(FILES ${ZANDREL_PACKAGING}/lintian/${package}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides COMPONENT ${component})
endfunction()

# component, section, page
function(zandrel_man_page component section page)
  zandrel_compressed(${CMAKE_SOURCE_DIR}/docs/man/${page}.${section} ${ZANDREL_GENERATED}/${page}.${section}.gz)
  install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endfunction()

# ---- the daemon ------------------------------------------------------------
install(TARGETS zandrel RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT daemon)
install(CODE "set(ZANDREL_PACKAGING \"${ZANDREL_PACKAGING}\")
set(ZANDREL_GENERATED \"${ZANDREL_GENERATED}\")
set(ZANDREL_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")
include(\"${CMAKE_SOURCE_DIR}/cmake/install_service.cmake\")" COMPONENT daemon)
zandrel_man_page(daemon 8 zandrel)
install(FILES docs/radius/dictionary DESTINATION ${CMAKE_INSTALL_DATADIR}/zandrel/radius COMPONENT daemon)
zandrel_package_docs(daemon zandrel README.md docs/operating.md docs/architecture.md docs/images.md
                     docs/management-link.md docs/radius.md docs/radius-rules.md docs/wireshark.md)

# ---- the simulated board ---------------------------------------------------
foreach(prog oltsim ponkernel ponctl)
  if(TARGET ${prog})
    install(TARGETS ${prog} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT sim)
  endif()
endforeach()
zandrel_man_page(sim 1 ponctl)
install(FILES sim/boards/lab.json DESTINATION ${CMAKE_INSTALL_DATADIR}/zandrel/boards COMPONENT sim)
install(FILES docs/radius/lab-users DESTINATION ${CMAKE_INSTALL_DATADIR}/zandrel/radius COMPONENT sim)
zandrel_package_docs(sim zandrel-sim docs/ponctl.md docs/oltsim.md docs/board-file.md)

# The manual pages render without a warning.
if(ZANDREL_TESTS)
  add_test(NAME man_pages
           COMMAND ${CMAKE_COMMAND} -DPAGES=${CMAKE_SOURCE_DIR}/docs/man/zandrel.8;${CMAKE_SOURCE_DIR}/docs/man/ponctl.1
                   -P ${CMAKE_SOURCE_DIR}/cmake/check_man.cmake)
endif()

# ---- Debian packages -------------------------------------------------------
# The package architecture is the target's: Debian's name for the cross
# compiler's triplet (armhf for arm-linux-gnueabihf), else this machine's.
find_program(ZANDREL_DPKG_ARCHITECTURE dpkg-architecture)
find_program(ZANDREL_DPKG dpkg)
set(ZANDREL_DEB_ARCH "")
if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE AND ZANDREL_DPKG_ARCHITECTURE)
  execute_process(COMMAND ${ZANDREL_DPKG_ARCHITECTURE} -qDEB_HOST_ARCH -t ${CMAKE_LIBRARY_ARCHITECTURE}
                  OUTPUT_VARIABLE ZANDREL_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
elseif(ZANDREL_DPKG)
  execute_process(COMMAND ${ZANDREL_DPKG} --print-architecture
                  OUTPUT_VARIABLE ZANDREL_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zandrel)
set(CPACK_PACKAGE_VENDOR "zandrel developers")
set(CPACK_PACKAGE_CONTACT ${ZANDREL_MAINTAINER})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL daemon sim)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${ZANDREL_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(ZANDREL_DEB_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${ZANDREL_DEB_ARCH})
  # dpkg-shlibdeps looks for the libraries of the package's architecture.
  set(CPACK_PROJECT_CONFIG_FILE ${ZANDREL_GENERATED}/cpack_project.cmake)
  file(WRITE ${CPACK_PROJECT_CONFIG_FILE} "set(ENV{DEB_HOST_ARCH} ${ZANDREL_DEB_ARCH})\n")
endif()
set(CPACK_DEBIAN_DAEMON_PACKAGE_NAME zandrel)
set(CPACK_DEBIAN_DAEMON_PACKAGE_CONTROL_EXTRA ${ZANDREL_PACKAGING}/conffiles)
set(CPACK_DEBIAN_DAEMON_DESCRIPTION "OLT management daemon of an EPON line card
zandrel brings the line card's OLT chips out of reset, learns, authenticates
(EAP-MD5 or RADIUS) and provisions every ONU that registers on a PON port,
answers the board's management process, upgrades firmware and reports ONU
sessions to RADIUS accounting. With its systemd unit, its init script for
boards without systemd and its defaults file /etc/default/zandrel.")
set(CPACK_DEBIAN_SIM_PACKAGE_NAME zandrel-sim)
set(CPACK_DEBIAN_SIM_PACKAGE_RECOMMENDS zandrel)
set(CPACK_DEBIAN_SIM_DESCRIPTION "simulated EPON line card for the zandrel daemon
The board zandrel runs on, in software: oltsim (the OLT chips and the ONUs
behind them), ponkernel (the board's management process and its
configuration store) and ponctl (the operator's command line), with an
example board file.")
include(CPack)
