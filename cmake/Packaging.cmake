# Installation: `cmake --install` puts the executable and its manual page
# under the prefix.
include(GNUInstallDirs)

install(TARGETS tessvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES docs/tessvane.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
