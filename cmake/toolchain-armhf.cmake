# Cross build for the box's main board (i.MX6 DualLite: 32-bit ARMv7-A, hard-float), with Debian's
# armhf cross compiler and the sysroot and emulator that scripts/prepare-armhf-sysroot.sh makes:
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
# Their directory comes from RIRARUDE_ARMHF_ROOT (a cache variable or the environment), default
# /opt/rirarude-armhf, as in the script.
#
# Code is built for Debian's armhf baseline (ARMv7-A, VFPv3-D16, Thumb-2), the ABI of the
# libraries it links against; the i.MX6 runs it as it is.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

if(NOT RIRARUDE_ARMHF_ROOT)
    if(DEFINED ENV{RIRARUDE_ARMHF_ROOT})
        set(RIRARUDE_ARMHF_ROOT "$ENV{RIRARUDE_ARMHF_ROOT}")
    else()
        set(RIRARUDE_ARMHF_ROOT /opt/rirarude-armhf)
    endif()
endif()
set(RIRARUDE_ARMHF_ROOT "${RIRARUDE_ARMHF_ROOT}" CACHE PATH
    "Directory with the armhf sysroot and emulator (made by scripts/prepare-armhf-sysroot.sh)")
# try_compile projects read this file again and need the same directory.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES RIRARUDE_ARMHF_ROOT)

set(_rirarude_sysroot "${RIRARUDE_ARMHF_ROOT}/sysroot")
if(NOT EXISTS "${_rirarude_sysroot}/usr/lib/arm-linux-gnueabihf/cmake/Qt5Core/Qt5CoreConfig.cmake")
    message(FATAL_ERROR "No armhf Qt in ${_rirarude_sysroot}: run scripts/prepare-armhf-sysroot.sh "
                        "(with RIRARUDE_ARMHF_ROOT set to the same place)")
endif()

# The compiler keeps its own C and C++ runtime; the sysroot adds Qt, GoogleTest and the libraries
# they need. Qt's shared libraries name further ones (ICU, GLib, ...) that the linker must find
# there too.
set(CMAKE_FIND_ROOT_PATH "${_rirarude_sysroot}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# They are the target's system directories: no RUNPATH into the sysroot in the build tree, so
# that ARM programs find their libraries here as on the box.
list(APPEND CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES
     "${_rirarude_sysroot}/lib/arm-linux-gnueabihf"
     "${_rirarude_sysroot}/usr/lib/arm-linux-gnueabihf")
foreach(kind EXE SHARED MODULE)
    set(CMAKE_${kind}_LINKER_FLAGS_INIT
        "-Wl,-rpath-link,${_rirarude_sysroot}/lib/arm-linux-gnueabihf -Wl,-rpath-link,${_rirarude_sysroot}/usr/lib/arm-linux-gnueabihf")
endforeach()

# ARM programs run here under qemu's user-mode emulator, which loads the armhf loader and
# libraries from the sysroot: the tests, GoogleTest's test discovery and the end-to-end runs of the
# tool and the board simulator.
set(CMAKE_CROSSCOMPILING_EMULATOR "${RIRARUDE_ARMHF_ROOT}/bin/qemu-arm" -L "${_rirarude_sysroot}")
