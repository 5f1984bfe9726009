# Installation and the Debian package: `cmake --install` puts the executable
# and its manual page under the prefix; `cpack -G DEB` packs the same files.
include(GNUInstallDirs)

install(TARGETS tessvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES docs/tessvane.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "whitens the border-joined dark regions of grayscale scans")
set(CPACK_PACKAGE_DESCRIPTION
    "tessvane cleans scanned pages before OCR.  Given an 8-bit grayscale TIFF, \
it rewrites the file in place: every dark region joined to the image border \
(a scanner margin, the shadow of a fold or a binding) comes out white, and \
the rest of the page is divided by an estimate of its background, so that \
uneven lighting disappears and the text keeps its contrast.")
# Debian wants a maintainer field; set CPACK_PACKAGE_CONTACT when configuring
# to put a real name and address in it.
if(NOT CPACK_PACKAGE_CONTACT)
  set(CPACK_PACKAGE_CONTACT "tessvane developers")
endif()
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
# dpkg-shlibdeps derives the run-time dependencies (libtiff, the C and C++
# libraries) from the executable, with the versions it was built against.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Debian installs manual pages compressed; the staged copy is gzipped just
# before packing, while `cmake --install` keeps the plain file.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/CompressManPages.cmake)

include(CPack)
