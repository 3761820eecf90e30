# Man pages: scdoc sources in resources/man (NAME.SECTION.scd, @PROJECT_VERSION@ filled in),
# turned into gzipped pages in the build tree at build time and installed from there.
if(VELQUOR_BUILD_MANPAGES)
    find_program(SCDOC_PROGRAM scdoc)
    if(NOT SCDOC_PROGRAM)
        message(FATAL_ERROR "scdoc is needed for the man pages: run scripts/install-deps, "
                            "or configure with -DVELQUOR_BUILD_MANPAGES=OFF")
    endif()
endif()

function(velquor_install_manpage name section component)
    if(NOT VELQUOR_BUILD_MANPAGES)
        return()
    endif()
    set(versioned ${CMAKE_CURRENT_BINARY_DIR}/man/${name}.${section}.scd)
    set(page ${CMAKE_CURRENT_BINARY_DIR}/man/${name}.${section}.gz)
    configure_file(${VELQUOR_RESOURCES}/man/${name}.${section}.scd ${versioned} @ONLY)
    # Through a temporary name, so a failed scdoc run never leaves a page that looks made.
    add_custom_command(OUTPUT ${page}
        COMMAND sh -c "\"$1\" < \"$2\" > \"$3.tmp\" && gzip -9nf \"$3.tmp\" && mv \"$3.tmp.gz\" \"$3\""
                sh ${SCDOC_PROGRAM} ${versioned} ${page}
        DEPENDS ${versioned}
        COMMENT "Generating man page ${name}(${section})"
        VERBATIM)
    add_custom_target(manpage-${name} ALL DEPENDS ${page})
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endfunction()
