# Installation of the three deliverables and the Debian package for a board.
#
#   bin/kestrel                      the monitor
#   lib/libkestrel.so                the stub library, loaded by the monitor at run time
#   lib/skel/libkestrel_skel.so      the DSP library, built by the hexagon preset
#   share/man/man1/kestrel.1.gz      the manual page
#
# The virtual board (sim/) and the test programs are never installed.

include(GNUInstallDirs)

install(TARGETS kestrel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS kestrel_stub LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})

# The DSP library comes from the hexagon preset's build.
set(_kestrel_hexagon_skel ${KESTREL_HEXAGON_BUILD_DIR}/dsp/libkestrel_skel.so)
install(CODE "
    if(NOT EXISTS \"${_kestrel_hexagon_skel}\")
        message(FATAL_ERROR \"${_kestrel_hexagon_skel} is missing: build the DSP library first \"
                            \"(cmake --workflow --preset hexagon; KESTREL_HEXAGON_BUILD_DIR names \"
                            \"its build directory)\")
    endif()")
install(FILES ${_kestrel_hexagon_skel} DESTINATION ${CMAKE_INSTALL_LIBDIR}/skel)

# The manual page carries the project's version; manual pages are installed compressed, as
# Debian has them.
configure_file(${PROJECT_SOURCE_DIR}/doc/kestrel.1.in ${CMAKE_CURRENT_BINARY_DIR}/kestrel.1 @ONLY)
set(_kestrel_man ${CMAKE_CURRENT_BINARY_DIR}/kestrel.1.gz)
add_custom_command(OUTPUT ${_kestrel_man}
    COMMAND gzip -9 -n -c ${CMAKE_CURRENT_BINARY_DIR}/kestrel.1 > ${_kestrel_man}
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/kestrel.1
    VERBATIM)
add_custom_target(kestrel_man ALL DEPENDS ${_kestrel_man})
install(FILES ${_kestrel_man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Debian package (cpack -G DEB), meant for the aarch64 preset: the package is for arm64 boards.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "kestrel developers")
set(CPACK_PACKAGE_CONTACT "kestrel developers <kestrel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "monitor of the Hexagon compute DSP's load on Qualcomm boards")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"kestrel measures how busy the compute DSP (Hexagon) of a Qualcomm board is over a
sampling window, from the DSP's own PMU counters, and prints the utilisation of the
scalar core (QDSP6), HVX and HMX units and the DSP clock, once or until Ctrl-C. It also
lists the board's compute-DSP cores.
.
The package holds the program, its stub library libkestrel.so and the DSP library
libkestrel_skel.so (Hexagon V68). It needs the board's FastRPC client library
libadsprpc.so, which comes with the board's support package.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
endif()
# The cross build cannot run dpkg-shlibdeps for arm64; these are the libraries kestrel and
# libkestrel.so need besides the board's libadsprpc.so.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1 (>= 3.0)")
include(CPack)
