# Cross build for AArch64 Linux with Debian's g++-aarch64-linux-gnu. Programs built here run
# on this machine under qemu-aarch64 (see CMAKE_CROSSCOMPILING_EMULATOR below).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# qemu-aarch64 looks up absolute guest paths under this prefix first: it holds the target's
# libraries (lib -> the cross libc) and, for the virtual board, a fake sysfs.
set(KESTREL_EMULATOR_PROGRAM qemu-aarch64)
set(KESTREL_TARGET_LIBDIR /usr/aarch64-linux-gnu/lib)
# Debian's name of the target architecture and its multiarch folder, for the target's packages
# (scripts/target-packages).
set(KESTREL_TARGET_DEB_ARCH arm64)
set(KESTREL_TARGET_MULTIARCH aarch64-linux-gnu)
set(KESTREL_TARGET_ELF_MACHINE 183) # EM_AARCH64
set(KESTREL_QEMU_PREFIX ${CMAKE_BINARY_DIR}/qemu-root CACHE PATH "qemu-aarch64 -L prefix")
set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTREL_EMULATOR_PROGRAM} -L ${KESTREL_QEMU_PREFIX})
