# Where the programs and what they deliver live, the same below the build
# folder and below the installation prefix.
include(GNUInstallDirs)

# Not CMAKE_INSTALL_LIBDIR: that is a multiarch library folder, and this is a
# program's private folder.
set(KRII_INSTALL_TOOLSDIR lib/krii CACHE STRING
  "Private folder of the SSH tool links and the device daemon, relative to the prefix")
foreach(dir CMAKE_INSTALL_BINDIR KRII_INSTALL_TOOLSDIR)
  if(IS_ABSOLUTE "${${dir}}")
    message(FATAL_ERROR "${dir} must be relative to the prefix, so the programs find their folder from their own")
  endif()
endforeach()

set(KRII_BIN_DIR ${CMAKE_BINARY_DIR}/${CMAKE_INSTALL_BINDIR})
set(KRII_TOOLS_DIR ${CMAKE_BINARY_DIR}/${KRII_INSTALL_TOOLSDIR})
# The path the programs add to their own directory (libpal's os_tools_dir).
file(RELATIVE_PATH KRII_TOOLS_FROM_BIN ${KRII_BIN_DIR} ${KRII_TOOLS_DIR})
if(KRII_TOOLS_FROM_BIN STREQUAL "")
  set(KRII_TOOLS_FROM_BIN .)
endif()

# The daemon delivered to the device as dev/armv7/krsd, wherever the build
# makes it; the installation takes it from here.
set(KRII_DEVICE_DAEMON ${KRII_TOOLS_DIR}/dev/armv7/krsd)
