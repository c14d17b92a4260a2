# Cross build of the device daemon: 32-bit ARMv7 (armhf) Linux with Debian's
# cross toolchain, linked statically against the armhf libraries unpacked
# into a private sysroot (KRII_ARMHF_SYSROOT, made by scripts/armhf-sysroot.sh).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(KRII_CROSS_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${KRII_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KRII_CROSS_TRIPLE}-g++)

# The compiler checks' own projects need it too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KRII_ARMHF_SYSROOT)
if(NOT KRII_ARMHF_SYSROOT)
  message(FATAL_ERROR "KRII_ARMHF_SYSROOT is not set (scripts/armhf-sysroot.sh makes one)")
endif()
set(CMAKE_FIND_ROOT_PATH ${KRII_ARMHF_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Static: the device needs nothing beside the program. (The project turns
# the library search to archives once the platform files have run.)
set(KRII_STATIC_LINK ON)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# GCC's note on an ABI change of GCC 7.1 concerns code built with both.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
# The sysroot's headers of the architecture (OpenSSL's configuration) are in
# its multiarch folder, which only a native compiler searches by itself (not
# a cached flag: a build folder configured before gets it too).
set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES ${KRII_ARMHF_SYSROOT}/usr/include/${KRII_CROSS_TRIPLE})
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${KRII_ARMHF_SYSROOT}/usr/include/${KRII_CROSS_TRIPLE})

# pkg-config reads the sysroot's .pc files and nothing of the host.
set(ENV{PKG_CONFIG_DIR} "")
set(ENV{PKG_CONFIG_LIBDIR} "${KRII_ARMHF_SYSROOT}/usr/lib/${KRII_CROSS_TRIPLE}/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${KRII_ARMHF_SYSROOT}")
