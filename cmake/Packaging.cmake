# Installation and the Debian package: `cmake --install` puts the executable,
# its manual page and the OCRmyPDF plugin under the prefix; `cpack -G DEB`
# packs the same files.
include(GNUInstallDirs)

install(TARGETS tessvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES docs/tessvane.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The plugin goes on the module path of the Python that runs ocrmypdf,
# found when installing (cmake/InstallPythonModule.cmake).  Debian's
# ocrmypdf runs /usr/bin/python3, so that one is taken first.
find_program(TESSVANE_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH
             DOC "the Python on whose module path the OCRmyPDF plugin is installed")
find_program(TESSVANE_PYTHON python3)
install(CODE "set(tessvane_python \"${TESSVANE_PYTHON}\")
set(tessvane_module \"${PROJECT_SOURCE_DIR}/integrations/ocrmypdf/tessvane_ocrmypdf.py\")")
install(SCRIPT ${CMAKE_CURRENT_LIST_DIR}/InstallPythonModule.cmake)

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
uneven lighting disappears and the text keeps its contrast.  The package \
also holds a plugin for OCRmyPDF that cleans every page image before \
Tesseract reads it: ocrmypdf --plugin tessvane_ocrmypdf in.pdf out.pdf.")
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
# The plugin in /usr/lib/python3/dist-packages is for OCRmyPDF; removing
# the package removes the byte code Python may have cached beside it.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS ocrmypdf)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/prerm)
# Debian installs manual pages compressed; the staged copy is gzipped just
# before packing, while `cmake --install` keeps the plain file.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/CompressManPages.cmake)

include(CPack)
