#!/usr/bin/env bash
# Builds the native launcher (build/native), the same under AddressSanitizer
# and UndefinedBehaviorSanitizer (build/asan), and the 32-bit Windows
# launcher.exe (build/win32), and where this host cannot run 32-bit programs
# a 64-bit Windows build for the tests under Wine (build/win64).
# Usage: build.sh [native|asan|win32|win64]...
set -euo pipefail
cd "$(dirname "$0")/.."
flavors=("$@")
[ ${#flavors[@]} -gt 0 ] || flavors=(native asan win32)
jobs=$(nproc)

for flavor in "${flavors[@]}"; do
  case $flavor in
    native) args=(-DCMAKE_BUILD_TYPE=Debug) ;;
    asan) args=(-DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer") ;;
    # The Windows builds are built as shipped (see cmake/release.cmake), so
    # that their tests run what ships.
    win32) args=(-DCMAKE_BUILD_TYPE=MinSizeRel -DLAUNCHER_RELEASE=ON -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake) ;;
    win64) args=(-DCMAKE_BUILD_TYPE=MinSizeRel -DLAUNCHER_RELEASE=ON -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake) ;;
    *) echo "unknown build $flavor" >&2; exit 2 ;;
  esac
  cmake -S . -B "build/$flavor" -DLAUNCHER_WERROR=ON -DLAUNCHER_TEST_PREFIX="$flavor" "${args[@]}" >/dev/null
  cmake --build "build/$flavor" -j "$jobs" >/dev/null
done
# One test tree over every build made so far, so that one ctest run reports
# them together, whichever flavours this call rebuilt. Only the Windows build
# that Wine can run here has its tests run.
source scripts/wine-env.sh
built=()
for flavor in native asan win32 win64; do
  case $flavor in win32 | win64) [ "$flavor" = "$LAUNCHER_WIN_BUILD" ] || continue ;; esac
  [ -f "build/$flavor/CTestTestfile.cmake" ] && built+=("$flavor")
done
printf 'subdirs(%s)\n' "${built[*]}" >build/CTestTestfile.cmake
# The checks of the shipped build run without Wine, so they run here too.
if [ "$LAUNCHER_WIN_BUILD" != win32 ] && [ -f build/win32/release-tests.cmake ]; then
  printf 'include("%s")\n' "$PWD/build/win32/release-tests.cmake" >>build/CTestTestfile.cmake
fi
