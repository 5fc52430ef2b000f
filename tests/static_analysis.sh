#!/usr/bin/env bash
# clang-tidy (checks in .clang-tidy) and cppcheck over the launcher's own code;
# any finding fails. With --seeded, runs both on tests/static/seeded_fault.cpp
# and fails unless each tool reports it.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The C++ standard the builds use, read from the build itself.
std=$(sed -n 's/^set(CMAKE_CXX_STANDARD \([0-9]*\))$/\1/p' CMakeLists.txt)
[ -n "$std" ] || { echo "static analysis: no CMAKE_CXX_STANDARD in CMakeLists.txt"; exit 1; }

# Every branch analysed, where cppcheck would otherwise limit itself (2.11 on,
# Debian 13's) and say so as a finding.
exhaustive=()
case "$(cppcheck --help 2>/dev/null)" in
  *--check-level*) exhaustive=(--check-level=exhaustive) ;;
esac

cppcheck_run() {
  cppcheck --enable=warning,style,performance,portability --inline-suppr --error-exitcode=1 \
    --std=c++$std --quiet "${exhaustive[@]}" -I . "$@"
}

if [ "${1:-}" = "--seeded" ]; then
  printf '[{"directory":"%s","file":"%s","command":"c++ -std=c++%s -c %s"}]\n' \
    "$root" "$root/tests/static/seeded_fault.cpp" "$std" "$root/tests/static/seeded_fault.cpp" \
    > "$work/compile_commands.json"
  tidy=0; clang-tidy -p "$work" tests/static/seeded_fault.cpp >/dev/null 2>&1 || tidy=1
  check=0; cppcheck_run tests/static/seeded_fault.cpp >/dev/null 2>&1 || check=1
  echo "seeded fault reported: clang-tidy $tidy, cppcheck $check"
  [ "$tidy" = 1 ] && [ "$check" = 1 ]
  exit
fi

status=0
cmake -S . -B "$work/host" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null || exit 1
cmake -S . -B "$work/win32" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
  -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null || exit 1

# GCC-only options that clang does not know.
sed -i 's/ -fno-tree-loop-distribute-patterns//; s/ -malign-data=abi//g' "$work/win32/compile_commands.json"

portable=$(ls launch/*.cpp probes/*.cpp actions/*.cpp | grep -v win_main.cpp)
clang-tidy --quiet -p "$work/host" $portable || status=1
clang-tidy --quiet -p "$work/win32" --extra-arg=--target=i686-w64-mingw32 \
  --extra-arg=-Wno-unused-command-line-argument platform/win32_*.cpp launch/win_main.cpp || status=1
cppcheck_run launch probes actions platform || status=1
[ "$status" = 0 ] && echo "static analysis: no findings"
exit $status
