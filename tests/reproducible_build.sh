#!/usr/bin/env bash
# Two clean builds of the shipped launcher, from copies of the sources in two
# different folders, must give the same bytes.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for copy in first second/deeper; do
  mkdir -p "$work/$copy"
  (cd "$source_dir" && git ls-files -z 2>/dev/null || find . -type f -not -path './build/*' -print0) |
    (cd "$source_dir" && xargs -0 cp --parents -t "$work/$copy")
  cmake -S "$work/$copy" -B "$work/$copy/out" \
    -DCMAKE_TOOLCHAIN_FILE="$work/$copy/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
  cmake --build "$work/$copy/out" >/dev/null
done
a=$(sha256sum < "$work/first/out/OrvaneCD.exe")
b=$(sha256sum < "$work/second/deeper/out/OrvaneCD.exe")
echo "first:  $a"
echo "second: $b"
[ "$a" = "$b" ]
