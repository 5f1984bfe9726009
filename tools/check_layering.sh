#!/bin/sh
# Checks the include rule of src/: every quoted include of a file names a
# header of its own folder or of a folder below it.  Prints each include
# that points the wrong way and fails; silent and 0 when all point down.
#
# The folders, lowest first, and what each may include besides itself:
#   base                -
#   image_io/record     base
#   replace             base
#   image_io/tiff       base image_io/record
#   clearing/kernels    base
#   clearing            base image_io/record clearing/kernels
#   . (im_proc.h)       base image_io/record image_io/tiff clearing replace
#   driver              base image_io/record replace . driver
set -eu
src=${1:?usage: check_layering.sh SRC_DIR}
cd "$src"

allowed() {
  case $1 in
    base) echo "base" ;;
    image_io/record) echo "image_io/record base" ;;
    replace) echo "replace base" ;;
    image_io/tiff) echo "image_io/tiff base image_io/record" ;;
    clearing/kernels) echo "clearing/kernels base" ;;
    clearing) echo "clearing base image_io/record clearing/kernels" ;;
    .) echo ". base image_io/record image_io/tiff clearing replace" ;;
    driver) echo "driver base image_io/record replace . driver" ;;
    *) echo "" ;;
  esac
}

# The folder (relative to src/) that holds the header named by an include
# written in a file of folder from; empty when no such header exists.
header_folder() {
  from=$1 name=$2
  case $name in
    */*) resolved=$(cd "$from" && realpath -m --relative-to="$src_abs" "$name") ;;
    *) resolved=$(find . -name "$name" -type f | sed 's|^\./||' | head -n 1) ;;
  esac
  [ -n "$resolved" ] && [ -f "$src_abs/$resolved" ] || return 0
  dirname "$resolved"
}

src_abs=$(pwd)
status=0
for file in $(find . -name '*.h' -o -name '*.cpp' | sed 's|^\./||' | sort); do
  folder=$(dirname "$file")
  if [ -z "$(allowed "$folder")" ]; then
    echo "$file: folder $folder has no place in the layering"
    status=1
    continue
  fi
  for name in $(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file"); do
    target=$(header_folder "$folder" "$name")
    if [ -z "$target" ]; then
      echo "$file: includes \"$name\", which is not in src/"
      status=1
    elif ! echo " $(allowed "$folder") " | grep -q " $target "; then
      echo "$file: includes \"$name\" from $target, above $folder"
      status=1
    fi
  done
done
exit $status
