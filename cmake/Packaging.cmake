# A Debian package of the installed tree (cpack -G DEB): mp4meta in bin/,
# the interface library in the library directory and the module in its
# strigi/ directory below it. The package's mp4meta finds both relative to
# itself, so it needs no environment.
set(CPACK_PACKAGE_NAME mp4meta)
set(CPACK_PACKAGE_VENDOR "mp4meta developers")
set(CPACK_PACKAGE_CONTACT "mp4meta developers <mp4meta@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION "mp4meta prints the tags, durations, codecs, picture size and audio
format of MP4, M4A, 3GP and QuickTime files, as text or as JSON. It loads
the Strigi through-analyzer module strigita_mp4.so, which a desktop search
indexer can load as well.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "mp4meta developers <mp4meta@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Dependencies on system libraries come from dpkg-shlibdeps; the interface
# library is part of the package itself.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
