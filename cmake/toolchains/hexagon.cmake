# Cross build of the DSP side for the Hexagon V68 (QDSP6) compute DSP: 32-bit, freestanding,
# position-independent shared objects linked with lld.
#
# By default this uses Debian's clang and lld, whose Hexagon backend needs no SDK. When
# HEXAGON_SDK_ROOT is set (in the environment or the cache), the clang of that SDK's tools is
# used instead, if it is found.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR hexagon)

set(KESTREL_HEXAGON_ARCH v68 CACHE STRING "Hexagon architecture version to build for")

if(NOT HEXAGON_SDK_ROOT AND DEFINED ENV{HEXAGON_SDK_ROOT})
    set(HEXAGON_SDK_ROOT "$ENV{HEXAGON_SDK_ROOT}")
endif()
set(_kestrel_hexagon_hints "")
if(HEXAGON_SDK_ROOT)
    file(GLOB _kestrel_hexagon_hints LIST_DIRECTORIES true
         "${HEXAGON_SDK_ROOT}/tools/HEXAGON_Tools/*/Tools/bin")
endif()

find_program(KESTREL_HEXAGON_CC NAMES hexagon-clang clang clang-14
             HINTS ${_kestrel_hexagon_hints} REQUIRED)
find_program(KESTREL_HEXAGON_CXX NAMES hexagon-clang++ clang++ clang++-14
             HINTS ${_kestrel_hexagon_hints} REQUIRED)
set(CMAKE_C_COMPILER ${KESTREL_HEXAGON_CC})
set(CMAKE_CXX_COMPILER ${KESTREL_HEXAGON_CXX})
set(CMAKE_C_COMPILER_TARGET hexagon)
set(CMAKE_CXX_COMPILER_TARGET hexagon)

set(CMAKE_C_FLAGS_INIT "-m${KESTREL_HEXAGON_ARCH} -ffreestanding -fPIC")
set(CMAKE_CXX_FLAGS_INIT "-m${KESTREL_HEXAGON_ARCH} -ffreestanding -fPIC")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -nostdlib")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -nostdlib")

# Programs built here (the DSP host, the test programs) run on this machine under QEMU's user
# mode; ctest puts this in front of them. QEMU 7.2 has only a V67 model, which runs V68 code.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-hexagon -cpu v67)

# There is no C runtime to link test programs against: check the compilers by compiling only.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# Nothing of the host may leak into the cross build.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
