# The Debian package krii_<version>_<arch>.deb (scripts/package.sh): what
# `cmake --install` puts below /usr, with the project's version.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME krii)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "korin <krii@korin.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "forensic imaging of a phone's data partition over the network")
set(CPACK_PACKAGE_DESCRIPTION "krii deploys its file-service daemon krsd to a jailbroken phone over SSH
with PuTTY's tools and copies the raw data partition through it, block by
block, into a raw image file: unreadable blocks become zeros, a lost
connection is retried once, an interrupted image resumes from its end, and
the MD5 is reported. krii is the dialog, krimg the command line.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "http://www.korin.example/")
# The libraries' packages come from the programs' own links (dpkg-shlibdeps);
# the SSH tools are run by name, a font for the Chinese texts is advised.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "putty-tools")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-wqy-microhei | fonts-noto-cjk")
set(CPACK_STRIP_FILES ON)
include(CPack)
