# What `cmake --install` puts where, and the Debian package CPack makes of it (scripts/package).

configure_file(${CMAKE_SOURCE_DIR}/telvik.1.in ${CMAKE_BINARY_DIR}/telvik.1 @ONLY)
# -n leaves name and time out of the header, so that the same page always compresses alike.
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/telvik.1.gz
    COMMAND gzip -9 -n -c ${CMAKE_BINARY_DIR}/telvik.1 > ${CMAKE_BINARY_DIR}/telvik.1.gz
    DEPENDS ${CMAKE_BINARY_DIR}/telvik.1 VERBATIM)
add_custom_target(telvik_man ALL DEPENDS ${CMAKE_BINARY_DIR}/telvik.1.gz)

set(TELVIK_PACKAGE_MAINTAINER "Telvik developers <telvik@example.org>"
    CACHE STRING "The package's Maintainer field")
string(TIMESTAMP TELVIK_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.in ${CMAKE_BINARY_DIR}/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
    COMMAND gzip -9 -n -c ${CMAKE_BINARY_DIR}/changelog > ${CMAKE_BINARY_DIR}/changelog.gz
    DEPENDS ${CMAKE_BINARY_DIR}/changelog VERBATIM)
add_custom_target(telvik_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/changelog.gz)

install(TARGETS telvik RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS telvik_gui LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/telvik)
install(FILES ${CMAKE_BINARY_DIR}/telvik.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The hint lines and the man page send the user to README.md and docs/.
install(FILES README.md packaging/copyright ${CMAKE_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
install(DIRECTORY examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES packaging/telvik.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME telvik)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME telvik)
set(CPACK_PACKAGE_VENDOR "Telvik developers")
set(CPACK_PACKAGE_CONTACT "${TELVIK_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "one short exchange with a device over RS232, FTDI USB or UDP")
# Lines of at most 80 characters, as terminals show them.
set(CPACK_PACKAGE_DESCRIPTION
    "Telvik is started by a test station or a batch script to carry out one
exchange with a device: it opens one port (an RS232 serial port, an FTDI USB
device or UDP), runs a few preparatory instructions, sends one telegram, waits
for the expected response within a time-out, runs the final or the failure
instructions, closes the port and reports the outcome by its exit code. Every
step is logged, in a small window or on standard error.

FTDI USB devices need FTDI's D2XX library, which is not part of this package.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
find_program(DPKG_PROGRAM dpkg)
if(DPKG_PROGRAM)
    execute_process(COMMAND ${DPKG_PROGRAM} --print-architecture
                    OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
include(CPack)
