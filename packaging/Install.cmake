# What `cmake --install` puts in place, and the Debian package CPack makes of
# it (`cmake --build <build folder> --target package`).

set(QV_APP_ID org.quilvane.Quilvane)

# The installed program recognises itself by its bin folder and then keeps
# its list in the user's data folder.
target_compile_definitions(quilvane PRIVATE QV_INSTALL_BINDIR="${CMAKE_INSTALL_FULL_BINDIR}")

# The icon theme's PNGs, drawn by the same code as the window icon.
add_executable(quilvane_icon_files app/WriteIconFiles.cpp)
target_link_libraries(quilvane_icon_files PRIVATE quilvane_ui)
set(QV_ICON_DIR ${CMAKE_BINARY_DIR}/icons)
set(QV_ICON_FILES)
foreach(size IN ITEMS 16 32 48 128 256)
    list(APPEND QV_ICON_FILES ${QV_ICON_DIR}/${size}.png)
endforeach()
# A sanitizer build's leak check must not fail the build over the
# libraries' own allocations at exit.
add_custom_command(OUTPUT ${QV_ICON_FILES}
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0
            $<TARGET_FILE:quilvane_icon_files> ${QV_ICON_DIR}
    DEPENDS quilvane_icon_files
    COMMENT "Drawing the application icon")
add_custom_target(quilvane_icons ALL DEPENDS ${QV_ICON_FILES})

configure_file(packaging/quilvane.desktop.in ${CMAKE_BINARY_DIR}/${QV_APP_ID}.desktop @ONLY)
configure_file(packaging/quilvane.metainfo.xml.in ${CMAKE_BINARY_DIR}/${QV_APP_ID}.metainfo.xml @ONLY)

install(TARGETS quilvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_BINARY_DIR}/${QV_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_BINARY_DIR}/${QV_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
foreach(size IN ITEMS 16 32 48 128 256)
    install(FILES ${QV_ICON_DIR}/${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME ${QV_APP_ID}.png)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quilvane)
set(CPACK_PACKAGE_VENDOR "Quilvane")
set(CPACK_PACKAGE_CONTACT "Quilvane developers <maintainers@quilvane.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop download resumer for incomplete downloads")
set(CPACK_PACKAGE_DESCRIPTION "Quilvane finishes files that the download manager Vesko left\n\
incomplete: it imports Vesko's segment file, checks that the HTTP server\n\
serves byte ranges of the same file, and fetches every missing range into it.")
# "~" sorts before the release, so the finished 0.3 upgrades this one.
set(CPACK_DEBIAN_PACKAGE_VERSION "${PROJECT_VERSION}~alpha")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# https checks certificates against the system's trust store, which a
# minimal install lacks; the libraries come from the binary's own needs.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "ca-certificates")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fonts-wine)
# The package installs where the build was configured to (/usr unless told
# otherwise), so the program finds itself in its compiled-in bin folder.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
include(CPack)
