# Installation of the three deliverables and the Debian package for a board.
#
#   bin/kestrel                      the monitor
#   lib/libkestrel.so                the stub library, loaded by the monitor at run time
#   lib/skel/libkestrel_skel.so      the DSP library, built by the hexagon preset
#   share/man/man1/kestrel.1.gz      the manual page
#   bin/kestrel-exporter             the Prometheus exporter
#   share/man/man1/kestrel-exporter.1.gz    its manual page
#   lib/systemd/system/kestrel-exporter.service    its systemd service
#   lib/systemd/system/kestrel-exporter.socket     and its listening socket
#   share/kestrel/grafana-dashboard.json    a Grafana dashboard of its metrics
#   share/kestrel/alert-rules.yml           Prometheus alerting rules on its metrics
#   bin/kestrel-top                         every core live in the terminal
#   share/man/man1/kestrel-top.1.gz         its manual page
#   bin/kestrel-doctor                      says why kestrel cannot monitor a board, and what to do
#   lib/libkestrel_doctor.so                its checks that call the platform, loaded at run time
#   share/man/man1/kestrel-doctor.1.gz      its manual page
#   bin/kestrel-stat                        the DSP's load over one command's run
#   share/man/man1/kestrel-stat.1.gz        its manual page, with the schema of its JSON
#
# The virtual board (sim/) and the test programs are never installed. The Debian package adds
# its metadata, whose sources are in cmake/debian/:
#
#   share/doc/kestrel/copyright          copyright (machine-readable format)
#   share/doc/kestrel/changelog.gz       changelog.in with the version and maintainer filled in
#   share/lintian/overrides/kestrel      lintian-overrides: the deliberate layout, with reasons
#   triggers (control member)            the ldconfig trigger for lib/libkestrel.so

include(GNUInstallDirs)

# The package's maintainer, also named in its changelog.
set(KESTREL_MAINTAINER "kestrel developers <kestrel-dev@vorlix.org>")
# The installation directory as the install scripts see it, for install(CODE).
set(_kestrel_dest "\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}")

install(TARGETS kestrel_stub LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
# The build tree's copies carry a RUNPATH to build directories (cmake/BuildTreeRunpath.cmake);
# the installed ones carry none.
install(CODE "file(RPATH_REMOVE FILE
    \"${_kestrel_dest}/${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:kestrel_stub>\")")

# The DSP library comes from the hexagon preset's build.
set(_kestrel_hexagon_skel ${KESTREL_HEXAGON_BUILD_DIR}/dsp/libkestrel_skel.so)
install(CODE "
    if(NOT EXISTS \"${_kestrel_hexagon_skel}\")
        message(FATAL_ERROR \"${_kestrel_hexagon_skel} is missing: build the DSP library first \"
                            \"(cmake --workflow --preset hexagon; KESTREL_HEXAGON_BUILD_DIR names \"
                            \"its build directory)\")
    endif()")
install(FILES ${_kestrel_hexagon_skel} DESTINATION ${CMAKE_INSTALL_LIBDIR}/skel)
# A stripped install (cpack strips) strips the DSP library too, with a strip that knows Hexagon.
find_program(KESTREL_HEXAGON_STRIP NAMES llvm-strip llvm-strip-14
             DOC "strip for the Hexagon DSP library (llvm-strip)")
get_filename_component(_kestrel_skel_name ${_kestrel_hexagon_skel} NAME)
install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
        if(NOT EXISTS \"${KESTREL_HEXAGON_STRIP}\")
            message(FATAL_ERROR \"no llvm-strip to strip the DSP library (install llvm)\")
        endif()
        execute_process(COMMAND \"${KESTREL_HEXAGON_STRIP}\"
            \"${_kestrel_dest}/${CMAKE_INSTALL_LIBDIR}/skel/${_kestrel_skel_name}\"
            COMMAND_ERROR_IS_FATAL ANY)
    endif()")

# kestrel_install_program(TARGET PAGE) : a program of the package, without the build tree's
# RUNPATH, and its manual page doc/PAGE.1.in, which carries the project's version and is
# installed compressed, as Debian has manual pages. Adds both to what scripts/package builds.
add_custom_target(kestrel_package_contents)
function(kestrel_install_program target page)
    install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(CODE "file(RPATH_REMOVE FILE
        \"${_kestrel_dest}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:${target}>\")")
    set(man ${CMAKE_CURRENT_BINARY_DIR}/${page}.1)
    configure_file(${PROJECT_SOURCE_DIR}/doc/${page}.1.in ${man} @ONLY)
    add_custom_command(OUTPUT ${man}.gz
        COMMAND gzip -9 -n -c ${man} > ${man}.gz
        DEPENDS ${man}
        VERBATIM)
    add_custom_target(${target}_man ALL DEPENDS ${man}.gz)
    install(FILES ${man}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    add_dependencies(kestrel_package_contents ${target} ${target}_man)
endfunction()

kestrel_install_program(kestrel kestrel)

# Debian metadata. The package is native (its version has no Debian revision), so the changelog
# is changelog.gz.
set(_kestrel_debian ${PROJECT_SOURCE_DIR}/cmake/debian)
set(_kestrel_changelog ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog)
configure_file(${_kestrel_debian}/changelog.in ${_kestrel_changelog} @ONLY)
add_custom_command(OUTPUT ${_kestrel_changelog}.gz
    COMMAND gzip -9 -n -c ${_kestrel_changelog} > ${_kestrel_changelog}.gz
    DEPENDS ${_kestrel_changelog}
    VERBATIM)
add_custom_target(kestrel_changelog ALL DEPENDS ${_kestrel_changelog}.gz)
install(FILES ${_kestrel_debian}/copyright ${_kestrel_changelog}.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${_kestrel_debian}/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME kestrel)

# The Prometheus exporter (cpu/exporter) with its manual page, systemd units, Grafana dashboard
# and alerting rules (cmake/exporter/). The unit path is relative to the prefix:
# /usr/lib/systemd/system in the package.
kestrel_install_program(kestrel_exporter kestrel-exporter)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/exporter/kestrel-exporter.service
              ${PROJECT_SOURCE_DIR}/cmake/exporter/kestrel-exporter.socket
        DESTINATION lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/exporter/grafana-dashboard.json
              ${PROJECT_SOURCE_DIR}/cmake/exporter/alert-rules.yml
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/kestrel)

# kestrel-top (cpu/top) with its manual page.
kestrel_install_program(kestrel_top kestrel-top)

# kestrel-doctor (cpu/doctor) with its manual page, and its platform checks' library, which it
# loads by name as kestrel loads libkestrel.so: beside libkestrel.so. The library carries no
# RUNPATH in the build tree either.
kestrel_install_program(kestrel_doctor kestrel-doctor)
install(TARGETS kestrel_doctor_platform LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})

# kestrel-stat (cpu/stat) with its manual page, which carries the JSON Schema of its summary
# (doc/kestrel-stat.schema.json, the file its tests validate against) as roff text.
file(READ ${PROJECT_SOURCE_DIR}/doc/kestrel-stat.schema.json KESTREL_STAT_SCHEMA)
string(STRIP "${KESTREL_STAT_SCHEMA}" KESTREL_STAT_SCHEMA)
string(REPLACE "\\" "\\e" KESTREL_STAT_SCHEMA "${KESTREL_STAT_SCHEMA}")
string(REPLACE "-" "\\-" KESTREL_STAT_SCHEMA "${KESTREL_STAT_SCHEMA}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/doc/kestrel-stat.schema.json)
kestrel_install_program(kestrel_stat kestrel-stat)

# What else scripts/package builds before packing.
add_dependencies(kestrel_package_contents kestrel_stub kestrel_changelog
                 kestrel_doctor_platform)

# Debian package (cpack -G DEB), meant for the aarch64 preset: the package is for arm64 boards.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "kestrel developers")
set(CPACK_PACKAGE_CONTACT "${KESTREL_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "monitor of the Hexagon compute DSP's load on Qualcomm boards")
# Lines of at most 79 columns: the control file indents them by one.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"kestrel measures how busy the compute DSP (Hexagon) of a Qualcomm board is
over a sampling window, from the DSP's own PMU counters, and prints the
utilisation of the scalar core (QDSP6), HVX and HMX units and the DSP clock,
once or until Ctrl-C. It also lists the board's compute-DSP cores.
kestrel-exporter samples every compute DSP of the board continuously and
serves the figures to Prometheus over HTTP (systemd units kestrel-exporter).
kestrel-top shows every core live in the terminal, with history plots,
temperatures against trip points and the DSPs' states, and records and
replays what it showed.
kestrel-doctor says why a board cannot be monitored, and what to do.
kestrel-stat measures the DSP's load over one command's run, as perf stat
does for the processors, and writes it as JSON and as a timeline for
Perfetto's UI.
.
The package holds the program, its stub library libkestrel.so, the DSP
library libkestrel_skel.so (Hexagon V68), kestrel-exporter with its systemd
units, a Grafana dashboard and alerting rules, kestrel-top, kestrel-doctor
with its library libkestrel_doctor.so, and kestrel-stat. It needs the
board's FastRPC client library libadsprpc.so, which comes with the board's
support package.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${_kestrel_debian}/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
endif()
# The cross build cannot run dpkg-shlibdeps for arm64; these are the libraries kestrel,
# kestrel-exporter and libkestrel.so need besides the board's libadsprpc.so (the exporter's web
# server: libmicrohttpd12, libgnutls30, libyaml-cpp0.7, libsystemd0, zlib1g and libcrypt1, of
# the versions it is linked against).
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1 (>= 3.0), libmicrohttpd12 (>= 0.9.75), \
libgnutls30 (>= 3.7.9), libyaml-cpp0.7 (>= 0.7.0), libsystemd0 (>= 252), zlib1g (>= 1:1.2.13), \
libcrypt1 (>= 1:4.4.33)")
# kestrel-top's terminfo library.
string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libtinfo6 (>= 6.4)")
include(CPack)
