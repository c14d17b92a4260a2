# The daemon the deployment copies to the device, at KRII_DEVICE_DAEMON
# (KriiLayout.cmake): a 32-bit ARMv7 (armhf) Linux program, cross-built from
# these sources with Debian's cross toolchain and linked statically against
# the armhf OpenSSL and LZ4 of a private sysroot (scripts/armhf-sysroot.sh),
# so that the device needs nothing beside it. The cross build is a project
# of its own (an external project in armv7/ of this build), so the host
# build stays incremental. Without the toolchain or the sysroot the host
# build of krsd is delivered instead, and the configuration says so.
set(KRII_ARMV7 AUTO CACHE STRING
  "Cross-build the device daemon for ARMv7: AUTO (the host build, with a warning, when the cross toolchain or sysroot is missing), ON (required), OFF (the host build)")
set_property(CACHE KRII_ARMV7 PROPERTY STRINGS AUTO ON OFF)
set(KRII_ARMHF_SYSROOT ${CMAKE_BINARY_DIR}/armhf-sysroot CACHE PATH
  "armhf sysroot with the static OpenSSL and LZ4 (scripts/armhf-sysroot.sh makes it)")
set(KRII_ARMHF_TRIPLE arm-linux-gnueabihf)

set(why_host "")
if(KRII_ARMV7 STREQUAL "OFF")
  set(why_host "KRII_ARMV7 is OFF")
elseif(NOT KRII_ARMV7 MATCHES "^(AUTO|ON)$")
  message(FATAL_ERROR "KRII_ARMV7 is AUTO, ON or OFF, not \"${KRII_ARMV7}\"")
else()
  find_program(KRII_ARMHF_CXX ${KRII_ARMHF_TRIPLE}-g++)
  if(NOT KRII_ARMHF_CXX)
    set(why_host "no ${KRII_ARMHF_TRIPLE}-g++ (Debian package g++-arm-linux-gnueabihf; scripts/install-deps.sh)")
  else()
    foreach(lib libssl.a libcrypto.a liblz4.a)
      if(NOT EXISTS ${KRII_ARMHF_SYSROOT}/usr/lib/${KRII_ARMHF_TRIPLE}/${lib})
        set(why_host "no armhf ${lib} in ${KRII_ARMHF_SYSROOT} (scripts/armhf-sysroot.sh ${KRII_ARMHF_SYSROOT})")
        break()
      endif()
    endforeach()
  endif()
endif()

get_filename_component(device_dir ${KRII_DEVICE_DAEMON} DIRECTORY)
if(why_host)
  if(KRII_ARMV7 STREQUAL "ON")
    message(FATAL_ERROR "KRII_ARMV7 is ON but the ARMv7 daemon cannot be built: ${why_host}")
  elseif(KRII_ARMV7 STREQUAL "AUTO")
    message(WARNING "dev/armv7/krsd: ${why_host}. The host build of krsd is delivered "
                    "instead, which an ARMv7 device cannot run.")
  else()
    message(STATUS "dev/armv7/krsd: the host build of krsd (${why_host})")
  endif()
  add_custom_command(OUTPUT ${KRII_DEVICE_DAEMON}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${device_dir}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:krsd> ${KRII_DEVICE_DAEMON}
    DEPENDS krsd
    COMMENT "Delivering the host build of krsd as dev/armv7/krsd")
  add_custom_target(krsd_device ALL DEPENDS ${KRII_DEVICE_DAEMON})
  return()
endif()

message(STATUS "dev/armv7/krsd: cross-built for ARMv7 with ${KRII_ARMHF_CXX}")
include(ExternalProject)
set(launchers "")
foreach(lang C CXX)
  if(CMAKE_${lang}_COMPILER_LAUNCHER)
    list(APPEND launchers -DCMAKE_${lang}_COMPILER_LAUNCHER=${CMAKE_${lang}_COMPILER_LAUNCHER})
  endif()
endforeach()
cmake_host_system_information(RESULT cores QUERY NUMBER_OF_LOGICAL_CORES)
ExternalProject_Add(krsd_armv7
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${CMAKE_BINARY_DIR}/armv7
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/armv7-linux-gnueabihf.cmake
    -DKRII_ARMHF_SYSROOT=${KRII_ARMHF_SYSROOT}
    -DCMAKE_BUILD_TYPE=Release
    # -O2 as the host's build (GCC 12 warns falsely about std::string at -O3).
    "-DCMAKE_C_FLAGS_RELEASE=-O2 -DNDEBUG" "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG"
    -DKRII_WERROR=${KRII_WERROR}
    -DKRII_DAEMON_ONLY=ON -DKRII_TESTS=OFF -DKRII_GUI=OFF -DKRII_BENCH=OFF -DKRII_FUZZ=OFF
    ${launchers}
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target krsd --parallel ${cores}
  # The program as the device gets it: without symbols.
  INSTALL_COMMAND ${CMAKE_COMMAND} -E make_directory ${device_dir}
    COMMAND ${KRII_ARMHF_TRIPLE}-strip -o ${KRII_DEVICE_DAEMON}.tmp <BINARY_DIR>/bin/krsd
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${KRII_DEVICE_DAEMON}.tmp ${KRII_DEVICE_DAEMON}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${KRII_DEVICE_DAEMON}.tmp
  # Its own build decides what is out of date.
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${KRII_DEVICE_DAEMON})
add_custom_target(krsd_device ALL DEPENDS krsd_armv7)
