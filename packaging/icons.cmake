# The application icon in the hicolor theme: PNGs at the usual sizes drawn at build time by
# resources/make_icon.py (the same drawing as the window icon), and the scalable SVG.
find_program(PYTHON3_PROGRAM python3 REQUIRED)
set(icon_pngs)
foreach(size 16 22 24 32 48 64 128 256)
    set(png ${CMAKE_CURRENT_BINARY_DIR}/icons/${size}/velquor.png)
    add_custom_command(OUTPUT ${png}
        COMMAND ${PYTHON3_PROGRAM} ${VELQUOR_RESOURCES}/make_icon.py ${size} ${png}
        DEPENDS ${VELQUOR_RESOURCES}/make_icon.py
        COMMENT "Drawing the ${size}x${size} icon"
        VERBATIM)
    install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
        COMPONENT velquor)
    list(APPEND icon_pngs ${png})
endforeach()
add_custom_target(icons ALL DEPENDS ${icon_pngs})
install(FILES ${VELQUOR_RESOURCES}/velquor.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT velquor)
