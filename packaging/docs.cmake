# What Debian expects in each package's documentation folder: the copyright file and the
# changelog, gzipped. The changelog's newest entry is written from the project's version.
execute_process(COMMAND date -u -R -d "${VELQUOR_RELEASE_DATE} 12:00:00"
    OUTPUT_VARIABLE VELQUOR_RELEASE_DATE_RFC2822 OUTPUT_STRIP_TRAILING_WHITESPACE
    COMMAND_ERROR_IS_FATAL ANY)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/debian/changelog.in
    ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog @ONLY)
set(VELQUOR_CHANGELOG_GZ ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog.gz)
add_custom_command(OUTPUT ${VELQUOR_CHANGELOG_GZ}
    COMMAND gzip -9nkf ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog
    VERBATIM)
add_custom_target(package-changelog ALL DEPENDS ${VELQUOR_CHANGELOG_GZ})

function(velquor_install_package_docs component docdir)
    install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/debian/copyright ${VELQUOR_CHANGELOG_GZ}
        DESTINATION ${docdir} COMPONENT ${component})
endfunction()
