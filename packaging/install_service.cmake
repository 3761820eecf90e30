# Run by `cmake --install` and by the package build: writes kestod.service and kestod.conf for
# the prefix being installed to. GNUInstallDirs settles paths when configuring, which would bake
# one prefix into the unit; here the unit's program and settings file match where they land,
# and a /usr install (the package) keeps its settings under /etc, as GNUInstallDirs would.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(sysconfdir "/etc")
else()
    set(sysconfdir "${CMAKE_INSTALL_PREFIX}/etc")
endif()
set(KESTOD_PROGRAM "${CMAKE_INSTALL_PREFIX}/${VELQUOR_SBINDIR}/kestod")
set(KESTOD_SETTINGS "${sysconfdir}/kestod/kestod.conf")

configure_file("${VELQUOR_SERVICE_TEMPLATES}/kestod.service.in"
    "${VELQUOR_SERVICE_WORK}/kestod.service" @ONLY)
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system" TYPE FILE
    FILES "${VELQUOR_SERVICE_WORK}/kestod.service")
file(INSTALL DESTINATION "${sysconfdir}/kestod" TYPE FILE
    FILES "${VELQUOR_SERVICE_TEMPLATES}/kestod.conf")
