#!/usr/bin/env bash
# Installs the build into a scratch prefix, runs the installed quillmere-uninstall, and checks
# that nothing the install put there is left, and that every installed program was removed.
#   uninstall.sh BUILD_DIR PROGRAM...
set -euo pipefail
build=$1
shift
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
mapfile -t installed < <(cd "$prefix" && find . -type f -o -type l | sort)
echo "installed ${#installed[@]} files"
for program in "$@" quillmere-uninstall; do
    [ -x "$prefix/bin/$program" ] || { echo "FAIL: bin/$program was not installed"; exit 1; }
done

# The manifest CMake writes is the install rules' own list: the uninstaller must name each file.
for file in "${installed[@]}"; do
    [ "$file" = ./bin/quillmere-uninstall ] && continue
    grep -qxF "${file#./}" "$prefix/bin/quillmere-uninstall" ||
        { echo "FAIL: quillmere-uninstall does not list ${file#./}"; exit 1; }
done

"$prefix/bin/quillmere-uninstall"
left=$(cd "$prefix" && find . -mindepth 1 \( -type f -o -type l \) | sort)
if [ -n "$left" ]; then
    echo "FAIL: left behind after uninstalling:"
    echo "$left"
    exit 1
fi
if [ -n "$(find "$prefix" -type d -path '*quillmere*')" ]; then
    echo "FAIL: Quillmere's own folders left behind:"
    find "$prefix" -type d -path '*quillmere*'
    exit 1
fi
echo "PASS: the uninstaller removed all ${#installed[@]} files"
