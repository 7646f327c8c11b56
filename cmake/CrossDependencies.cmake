# Dependencies of a cross build, from the same Debian packages as the host build: {fmt} and
# nlohmann-json used header-only from their host headers (they hold no machine code), and
# GoogleTest compiled for the target from Debian's googletest sources.

# Only the two library folders are exposed, never the host's whole /usr/include.
set(_kestrel_cross_inc ${CMAKE_BINARY_DIR}/cross-include)
file(MAKE_DIRECTORY ${_kestrel_cross_inc})
foreach(dir fmt nlohmann)
    if(NOT EXISTS /usr/include/${dir})
        message(FATAL_ERROR "/usr/include/${dir} is missing: install libfmt-dev and nlohmann-json3-dev")
    endif()
    file(CREATE_LINK /usr/include/${dir} ${_kestrel_cross_inc}/${dir} SYMBOLIC)
endforeach()

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

# The emulator's prefix: the target's libraries where its dynamic loader expects them.
file(MAKE_DIRECTORY ${KESTREL_QEMU_PREFIX})
if(NOT EXISTS ${KESTREL_QEMU_PREFIX}/lib)
    file(CREATE_LINK ${KESTREL_TARGET_LIBDIR} ${KESTREL_QEMU_PREFIX}/lib SYMBOLIC)
endif()
# A SoC id file under the prefix from the start: the emulator decides once per process whether
# a path lives under its prefix, and the unit tests that rewrite this file rely on it being there.
if(NOT EXISTS ${KESTREL_QEMU_PREFIX}/sys/devices/soc0/soc_id)
    file(WRITE ${KESTREL_QEMU_PREFIX}/sys/devices/soc0/soc_id "0\n")
endif()
