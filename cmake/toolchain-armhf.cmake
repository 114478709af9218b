# The camera's board: 32-bit ARMv7, hard-float, Linux (arm-linux-gnueabihf),
# with Debian's cross compilers and Debian's armhf libraries laid out by
# scripts/install-board-deps.sh.
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
#
# Programs run on this machine through qemu's user-mode emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

if(NOT CAMERA_BOARD_SYSROOT)
  if(DEFINED ENV{BOARD_SYSROOT})
    set(CAMERA_BOARD_SYSROOT $ENV{BOARD_SYSROOT})
  else()
    set(CAMERA_BOARD_SYSROOT /usr/local/lib/panocamera/armhf)
  endif()
endif()
set(CAMERA_BOARD_SYSROOT ${CAMERA_BOARD_SYSROOT} CACHE PATH "Folder of the board's libraries")
# The cross compiler's C library folder.
set(CAMERA_BOARD_LIBC /usr/arm-linux-gnueabihf)
# try_compile projects see the same folders.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CAMERA_BOARD_SYSROOT)

set(CMAKE_FIND_ROOT_PATH ${CAMERA_BOARD_SYSROOT} ${CAMERA_BOARD_LIBC})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(ENV{PKG_CONFIG_LIBDIR}
  "${CAMERA_BOARD_SYSROOT}/usr/lib/arm-linux-gnueabihf/pkgconfig:${CAMERA_BOARD_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${CAMERA_BOARD_SYSROOT})
set(ENV{PKG_CONFIG_PATH} "")

# The libraries' own dependencies (glog's gflags, libusb's libudev) are found
# by the linker in the same folder.
set(CMAKE_EXE_LINKER_FLAGS_INIT
  "-Wl,-rpath-link,${CAMERA_BOARD_SYSROOT}/usr/lib/arm-linux-gnueabihf")
set(CMAKE_SHARED_LINKER_FLAGS_INIT ${CMAKE_EXE_LINKER_FLAGS_INIT})

# Runs a board program here: the C library of the cross compiler, the board
# libraries beside it.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L ${CAMERA_BOARD_LIBC}
  -E LD_LIBRARY_PATH=${CAMERA_BOARD_SYSROOT}/usr/lib/arm-linux-gnueabihf)

# GCC notes that the ARM argument passing of some templates changed in 7.1;
# everything here is built by one compiler, so the note says nothing.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
