#!/usr/bin/env bash
# Builds the native launcher (build/native), the same under AddressSanitizer
# and UndefinedBehaviorSanitizer (build/asan), and the 32-bit Windows
# launcher.exe (build/win32). Usage: build.sh [native|asan|win32]...
set -euo pipefail
cd "$(dirname "$0")/.."
flavors=("$@")
[ ${#flavors[@]} -gt 0 ] || flavors=(native asan win32)
jobs=$(nproc)

for flavor in "${flavors[@]}"; do
  case $flavor in
    native) args=(-DCMAKE_BUILD_TYPE=Debug) ;;
    asan) args=(-DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer") ;;
    win32) args=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake) ;;
    *) echo "unknown build $flavor" >&2; exit 2 ;;
  esac
  cmake -S . -B "build/$flavor" -DLAUNCHER_WERROR=ON -DLAUNCHER_TEST_PREFIX="$flavor" "${args[@]}" >/dev/null
  cmake --build "build/$flavor" -j "$jobs" >/dev/null
done
# One test tree over every build made so far, so that one ctest run reports
# them together, whichever flavours this call rebuilt.
built=()
for flavor in native asan win32; do
  [ -f "build/$flavor/CTestTestfile.cmake" ] && built+=("$flavor")
done
printf 'subdirs(%s)\n' "${built[*]}" >build/CTestTestfile.cmake
