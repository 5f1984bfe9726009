# Run by CPack after it has staged the files to pack: gzips every manual
# page in the staging directory, as Debian packages carry them.  -n leaves
# out the name and time stamp, so the same page always packs the same.
file(GLOB_RECURSE files "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.[1-9]")
list(FILTER files INCLUDE REGEX "/man/man[1-9]/[^/]+$")
foreach(page IN LISTS files)
  execute_process(COMMAND gzip -9nf "${page}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
