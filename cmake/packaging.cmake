# A Debian package of exactly what `cmake --install` puts in place, built by CPack
# (`make package`, or `cpack` in a build folder). Debian wants a copyright file and a changelog
# in the package's documentation folder; they are installed with everything else.
include(GNUInstallDirs)
set(VARNEL_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/varnel)
configure_file(packaging/debian/changelog.in changelog @ONLY)
find_program(VARNEL_GZIP gzip REQUIRED)
# Without a name or time stamp inside, so the package is the same at every build.
add_custom_command(OUTPUT changelog.gz
    COMMAND ${VARNEL_GZIP} -9nc changelog > changelog.gz
    DEPENDS ${PROJECT_BINARY_DIR}/changelog)
add_custom_target(varnel-changelog ALL DEPENDS changelog.gz)
install(FILES ${PROJECT_BINARY_DIR}/changelog.gz packaging/debian/copyright
        DESTINATION ${VARNEL_DOC_DIR})

# The manual pages, made from each program's --help at every build so they always say the same.
set(VARNEL_SUMMARY_varnel "safe editor for PixInsight's settings file")
set(VARNEL_SUMMARY_varnelctl "command-line companion of Varnel, the PixInsight settings editor")
set(VARNEL_SEE_ALSO_varnel varnelctl)
set(VARNEL_SEE_ALSO_varnelctl varnel)
foreach(program varnel varnelctl)
    add_custom_command(OUTPUT ${program}.1.gz
        # A sanitizer build's leak report at exit would fail the program's --help.
        COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0
                $<TARGET_FILE:varnel-manpage> $<TARGET_FILE:${program}>
                "${VARNEL_SUMMARY_${program}}" ${program}.1 ${VARNEL_SEE_ALSO_${program}}
        COMMAND ${VARNEL_GZIP} -9nf ${program}.1
        DEPENDS varnel-manpage ${program}
        VERBATIM)
    list(APPEND VARNEL_MANPAGES ${PROJECT_BINARY_DIR}/${program}.1.gz)
endforeach()
add_custom_target(varnel-manpages ALL DEPENDS ${VARNEL_MANPAGES})
install(FILES ${VARNEL_MANPAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varnel)
set(CPACK_PACKAGE_VENDOR Varnelhaus)
set(CPACK_PACKAGE_CONTACT "Varnelhaus <varnel@varnelhaus.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "safe editor for PixInsight's settings file")
set(CPACK_PACKAGE_DESCRIPTION
    "Varnel opens the settings file of PixInsight, the astronomical image-processing\n"
    "application, and changes it without risk: preferences with proper controls, a\n"
    "search over every setting, the data left behind by uninstalled modules, and a\n"
    "comparison with backups or other PixInsight instances. It never writes while\n"
    "PixInsight runs, and makes a backup at every save. varnelctl does the same from\n"
    "a shell.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://varnelhaus.org/varnel/)
# The libraries come from dpkg-shlibdeps; pgrep is run, not linked, and pkexec asks for
# administrator rights where the installation folder needs them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS procps)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS pkexec)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
