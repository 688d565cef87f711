# The Debian package that an image builder drops into the box's image (cpack -G DEB, or
# scripts/build-package.sh): the tool, its manual page, a logrotate rule for its event log, and
# the copyright file and changelog that Debian asks of every package. The version is the project's.

set(RIRARUDE_PACKAGE_MAINTAINER "RirarUde updater maintainers <rirarude-updater@quorvane.example>"
    CACHE STRING "Maintainer field of the Debian package")

set(_rirarude_package rirarude-updater)
set(_rirarude_doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_rirarude_package})
set(_rirarude_packaging ${CMAKE_CURRENT_BINARY_DIR}/packaging)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The rule names the file the tool writes, as the code defines it (with the build's box root).
file(READ ${CMAKE_CURRENT_SOURCE_DIR}/Updater/RirarUde/FixedPaths.h _rirarude_fixed_paths)
if(NOT _rirarude_fixed_paths MATCHES "#define UPDATER_LOG_FILE[ \t\\\\\n]*BOX_PATH\\(\"([^\"]+)\"\\)")
    message(FATAL_ERROR "Updater/RirarUde/FixedPaths.h defines no UPDATER_LOG_FILE")
endif()
set(RIRARUDE_EVENT_LOG "${RIRARUDE_BOX_ROOT_CLEAN}${CMAKE_MATCH_1}")
set(RIRARUDE_LOGROTATE_RULE ${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d/${_rirarude_package})
configure_file(packaging/rirarude-updater.logrotate.in ${_rirarude_packaging}/logrotate @ONLY)
install(FILES ${_rirarude_packaging}/logrotate
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d RENAME ${_rirarude_package})
# dpkg keeps a file under /etc that the image's owner changed, instead of overwriting it.
configure_file(packaging/conffiles.in ${_rirarude_packaging}/conffiles @ONLY)

# The changelog's newest entry is the package's version.
file(STRINGS packaging/changelog _rirarude_changelog_head LIMIT_COUNT 1)
if(NOT _rirarude_changelog_head MATCHES "^${_rirarude_package} \\(([^)]+)\\) "
   OR NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "packaging/changelog must begin with an entry for version "
                        "${PROJECT_VERSION}, the version of the project")
endif()
# Compressed as Debian wants it: at the highest level, without name and time stamp.
add_custom_command(OUTPUT ${_rirarude_packaging}/changelog.gz
    COMMAND gzip -9nc ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog > ${_rirarude_packaging}/changelog.gz
    DEPENDS packaging/changelog VERBATIM)
add_custom_target(rirarude_changelog ALL DEPENDS ${_rirarude_packaging}/changelog.gz)
install(FILES packaging/copyright ${_rirarude_packaging}/changelog.gz DESTINATION ${_rirarude_doc_dir})
# The manual page, compressed the same way.
set(_rirarude_manual_page ${_rirarude_packaging}/${_rirarude_package}.1.gz)
add_custom_command(OUTPUT ${_rirarude_manual_page}
    COMMAND gzip -9nc ${CMAKE_CURRENT_SOURCE_DIR}/packaging/${_rirarude_package}.1 > ${_rirarude_manual_page}
    DEPENDS packaging/${_rirarude_package}.1 VERBATIM)
add_custom_target(rirarude_manual_page ALL DEPENDS ${_rirarude_manual_page})
install(FILES ${_rirarude_manual_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${_rirarude_package})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater of the RirarUde stage box")
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "The box's other programs run it once per step of a firmware update: report\n"
    "the versions, download or check an archive, unpack it, request the update,\n"
    "write the DSP board's image. They read the outcome from its standard output,\n"
    "flag files, a progress file and an event log, which a logrotate rule keeps\n"
    "to a few generations.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${RIRARUDE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${_rirarude_packaging}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The rule does nothing without logrotate, but the tool runs without it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS logrotate)

# The unpacking step runs tar with xz (tar's -J since 1.22; tar is essential, so only a version
# makes a dependency on it meaningful).
set(_rirarude_commands "tar (>= 1.22), xz-utils")
if(CMAKE_CROSSCOMPILING)
    execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
                    OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
    # dpkg-shlibdeps needs a dpkg database of the target's libraries, which a sysroot does not
    # have: the libraries the tool links, by hand. Qt's headers tag the binary with the Qt minor
    # version it was built against, and a Qt older than that refuses to load it.
    set(_rirarude_qt "(>= ${Qt5Core_VERSION_MAJOR}.${Qt5Core_VERSION_MINOR})")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS
        "libc6, libgcc-s1, libqt5core5a ${_rirarude_qt}, libqt5network5 ${_rirarude_qt}, libstdc++6, ${_rirarude_commands}")
else()
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "${_rirarude_commands}")
endif()

include(CPack)
