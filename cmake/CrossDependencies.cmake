# Dependencies of a cross build, from the same Debian packages as the host build: {fmt} and
# nlohmann-json used header-only from their host headers (they hold no machine code), GoogleTest
# compiled for the target from Debian's googletest sources, and the libraries of
# kestrel-exporter's web server (libmicrohttpd, GnuTLS, yaml-cpp, libsystemd, zlib, libcrypt)
# from the target's own packages, unpacked but not installed (below).

# Only the two library folders and the exporter's libraries' headers are exposed, never the
# host's whole /usr/include.
set(_kestrel_cross_inc ${CMAKE_BINARY_DIR}/cross-include)
file(MAKE_DIRECTORY ${_kestrel_cross_inc})
foreach(dir fmt nlohmann)
    if(NOT EXISTS /usr/include/${dir})
        message(FATAL_ERROR "/usr/include/${dir} is missing: install libfmt-dev and nlohmann-json3-dev")
    endif()
    file(CREATE_LINK /usr/include/${dir} ${_kestrel_cross_inc}/${dir} SYMBOLIC)
endforeach()

# The exporter's libraries for the target: the target's shared libraries and their run-time
# dependencies, which scripts/target-packages downloads (apt-get download) and unpacks (dpkg-deb
# -x) into KESTREL_TARGET_PACKAGES_DIR; installing them would bring the target's libc6 too (see
# scripts/lib/common.sh). The headers are the host's, from -dev packages whose /usr/include files
# are the same for every architecture (Multi-Arch: same; yaml-cpp's are plain C++ without
# configuration). The exporter links each library by path and the linker finds their
# dependencies with -rpath-link; under the emulator they are found through its prefix (below).
set(KESTREL_TARGET_PACKAGES_DIR ${PROJECT_SOURCE_DIR}/build/target-packages/${KESTREL_TARGET_DEB_ARCH}
    CACHE PATH "The target's packages unpacked by scripts/target-packages")
set(_kestrel_target_libs ${KESTREL_TARGET_PACKAGES_DIR}/usr/lib/${KESTREL_TARGET_MULTIARCH})
set(_kestrel_exporter_libs libmicrohttpd.so.12 libgnutls.so.30 libyaml-cpp.so.0.7
    libsystemd.so.0 libz.so.1 libcrypt.so.1)
add_library(kestrel_cross_exporter_deps INTERFACE)
foreach(lib ${_kestrel_exporter_libs})
    if(NOT EXISTS ${_kestrel_target_libs}/${lib})
        message(FATAL_ERROR "${_kestrel_target_libs}/${lib} is missing: run "
                            "scripts/target-packages (the target's libraries of the exporter and "
                            "their dependencies, unpacked into ${KESTREL_TARGET_PACKAGES_DIR})")
    endif()
    target_link_libraries(kestrel_cross_exporter_deps INTERFACE ${_kestrel_target_libs}/${lib})
endforeach()
# Header (or folder) and the -dev package that has it.
foreach(pair microhttpd.h:libmicrohttpd-dev gnutls:libgnutls28-dev yaml-cpp:libyaml-cpp-dev
             systemd:libsystemd-dev zlib.h:zlib1g-dev zconf.h:zlib1g-dev crypt.h:libcrypt-dev)
    string(REPLACE ":" ";" pair ${pair})
    list(GET pair 0 header)
    list(GET pair 1 package)
    if(NOT EXISTS /usr/include/${header})
        message(FATAL_ERROR "/usr/include/${header} is missing: install ${package}")
    endif()
    file(CREATE_LINK /usr/include/${header} ${_kestrel_cross_inc}/${header} SYMBOLIC)
endforeach()
target_include_directories(kestrel_cross_exporter_deps SYSTEM INTERFACE ${_kestrel_cross_inc})
target_link_options(kestrel_cross_exporter_deps INTERFACE
                    "LINKER:-rpath-link,${_kestrel_target_libs}")

# ncurses' terminfo library for kestrel-top: the target's libtinfo.so.6, unpacked beside
# libmicrohttpd (scripts/target-packages moves it from /lib to /usr/lib); the headers are the
# host's libncurses-dev ones, which hold nothing that depends on the machine.
foreach(lib libtinfo.so.6)
    if(NOT EXISTS ${_kestrel_target_libs}/${lib})
        message(FATAL_ERROR "${_kestrel_target_libs}/${lib} is missing: run scripts/target-packages")
    endif()
endforeach()
foreach(header curses.h ncurses_dll.h unctrl.h term.h)
    if(NOT EXISTS /usr/include/${header})
        message(FATAL_ERROR "/usr/include/${header} is missing: install libncurses-dev")
    endif()
    file(CREATE_LINK /usr/include/${header} ${_kestrel_cross_inc}/${header} SYMBOLIC)
endforeach()
add_library(kestrel_cross_curses INTERFACE)
target_include_directories(kestrel_cross_curses SYSTEM INTERFACE ${_kestrel_cross_inc})
target_link_libraries(kestrel_cross_curses INTERFACE ${_kestrel_target_libs}/libtinfo.so.6)

add_library(kestrel_cross_fmt INTERFACE)
target_include_directories(kestrel_cross_fmt SYSTEM INTERFACE ${_kestrel_cross_inc})
target_compile_definitions(kestrel_cross_fmt INTERFACE FMT_HEADER_ONLY=1)
add_library(fmt::fmt ALIAS kestrel_cross_fmt)

add_library(kestrel_cross_json INTERFACE)
target_include_directories(kestrel_cross_json SYSTEM INTERFACE ${_kestrel_cross_inc})
add_library(nlohmann_json::nlohmann_json ALIAS kestrel_cross_json)
set(nlohmann_json_FOUND TRUE)
set(fmt_FOUND TRUE)

if(KESTREL_BUILD_TESTS)
    if(NOT EXISTS /usr/src/googletest/CMakeLists.txt)
        message(FATAL_ERROR "/usr/src/googletest is missing: install googletest")
    endif()
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    set(GTest_FOUND TRUE)
endif()

# The emulator's prefix: the target's libraries where its dynamic loader expects them, the
# cross toolchain's as /lib and the unpacked packages' /usr (their libraries in
# /usr/lib/MULTIARCH, one of the loader's default folders: a RUNPATH of the exporter would not
# serve the dependencies of libmicrohttpd).
file(MAKE_DIRECTORY ${KESTREL_QEMU_PREFIX})
if(NOT EXISTS ${KESTREL_QEMU_PREFIX}/lib)
    file(CREATE_LINK ${KESTREL_TARGET_LIBDIR} ${KESTREL_QEMU_PREFIX}/lib SYMBOLIC)
endif()
if(NOT EXISTS ${KESTREL_QEMU_PREFIX}/usr)
    file(CREATE_LINK ${KESTREL_TARGET_PACKAGES_DIR}/usr ${KESTREL_QEMU_PREFIX}/usr SYMBOLIC)
endif()
# A SoC id file under the prefix from the start: the emulator decides once per process whether
# a path lives under its prefix, and the unit tests that rewrite this file rely on it being there.
if(NOT EXISTS ${KESTREL_QEMU_PREFIX}/sys/devices/soc0/soc_id)
    file(WRITE ${KESTREL_QEMU_PREFIX}/sys/devices/soc0/soc_id "0\n")
endif()
