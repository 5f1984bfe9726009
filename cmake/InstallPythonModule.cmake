# Installs the OCRmyPDF plugin, a Python module, where Python finds the
# modules of the install prefix.  Run when installing (`cmake --install`,
# and cpack's staging install), since `--prefix` may set the prefix only
# then; tessvane_python (the interpreter, maybe not found) and
# tessvane_module (the file) are set by Packaging.cmake.
#
# The place is the first of the interpreter's site directories that lies in
# the prefix's lib/: with Debian's python3, lib/python3.X/dist-packages for
# /usr/local, lib/python3/dist-packages for /usr (Debian's own modules),
# the user's site directory for ~/.local.  Any other prefix gets
# lib/python3.X/site-packages, which is then to be put on PYTHONPATH.
# Without an interpreter it is lib/python3/dist-packages, Debian's place.

set(tessvane_python_dir lib/python3/dist-packages)
if(tessvane_python)
  execute_process(
    COMMAND "${tessvane_python}" -c [=[
import os, site, sys, sysconfig
prefix = os.path.normpath(sys.argv[1])
for directory in site.getsitepackages() + [site.getusersitepackages()]:
    relative = os.path.relpath(directory, prefix)
    if relative.startswith("lib" + os.sep):
        break
else:
    relative = os.path.relpath(
        sysconfig.get_path("purelib", "posix_prefix", vars={"base": prefix}), prefix)
print(relative)
]=] "${CMAKE_INSTALL_PREFIX}"
    OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR found STREQUAL "")
    message(FATAL_ERROR "${tessvane_python} cannot tell where modules go under ${CMAKE_INSTALL_PREFIX}")
  endif()
  set(tessvane_python_dir "${found}")
endif()

file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${tessvane_python_dir}" TYPE FILE
     FILES "${tessvane_module}")
