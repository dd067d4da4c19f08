# Installs the daemon's service files: the systemd unit, the init script and
# the defaults file. Runs at install time, so that the paths written into
# them follow the prefix given then (`cmake --install --prefix /usr`), not the
# one configured. With the prefix /usr, the files go to the system's own /etc
# and /lib/systemd/system; with any other, below the prefix.
# Set by the install rule: ZANDREL_PACKAGING (the sources), ZANDREL_GENERATED
# (a scratch folder), ZANDREL_SBINDIR (relative to the prefix).
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(etc /etc)
  set(unitdir /lib/systemd/system)
else()
  set(etc ${CMAKE_INSTALL_PREFIX}/etc)
  set(unitdir ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
endif()
set(ZANDREL_SBIN ${CMAKE_INSTALL_PREFIX}/${ZANDREL_SBINDIR}/zandrel)
set(ZANDREL_DEFAULTS ${etc}/default/zandrel)
configure_file(${ZANDREL_PACKAGING}/zandrel.service.in ${ZANDREL_GENERATED}/zandrel.service @ONLY)
configure_file(${ZANDREL_PACKAGING}/zandrel.init.in ${ZANDREL_GENERATED}/init.d/zandrel @ONLY)
file(INSTALL ${ZANDREL_GENERATED}/zandrel.service DESTINATION ${unitdir})
file(INSTALL ${ZANDREL_GENERATED}/init.d/zandrel DESTINATION ${etc}/init.d
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
file(INSTALL ${ZANDREL_PACKAGING}/zandrel.default DESTINATION ${etc}/default RENAME zandrel)
