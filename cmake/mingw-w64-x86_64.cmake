# Cross build for 64-bit Windows with Debian's mingw-w64 (posix threads),
# linked statically so that a program needs nothing beside it. LZ4 and
# wolfSSL come from KRII_WIN_DEPS, where scripts/win-build.sh builds them
# from Debian's source packages.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KRII_CROSS_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KRII_CROSS_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KRII_CROSS_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KRII_CROSS_TRIPLE}-windres)

list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KRII_WIN_DEPS)
if(NOT KRII_WIN_DEPS)
  message(FATAL_ERROR "KRII_WIN_DEPS is not set (scripts/win-build.sh builds the libraries it names)")
endif()
set(CMAKE_FIND_ROOT_PATH /usr/${KRII_CROSS_TRIPLE} ${KRII_WIN_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# On Windows the tools a program runs (PuTTY's pscp.exe and plink.exe) and
# the daemon it delivers (dev\armv7\krsd) lie beside it.
set(KRII_INSTALL_TOOLSDIR bin CACHE STRING "Folder of the SSH tools and the device daemon")

# Programs and tests run under Wine on the build machine.
find_program(KRII_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(KRII_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KRII_WINE})
endif()

# pkg-config reads the Windows libraries' .pc files and nothing of the host.
set(ENV{PKG_CONFIG_DIR} "")
set(ENV{PKG_CONFIG_LIBDIR} "${KRII_WIN_DEPS}/lib/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
