#!/usr/bin/env bash
# Builds into build/<flavour>:
#   native  the launcher and its tests (Debug); memcheck and the native soak
#           run these same binaries
#   asan    the same under AddressSanitizer and UndefinedBehaviorSanitizer
#   win32   the 32-bit Windows launcher.exe and its tests; the Wine soak and
#           the benchmarks run these same binaries
#   win64   the same source as a 64-bit Windows build, for the tests under
#           Wine where this host cannot run 32-bit programs (see
#           scripts/wine-env.sh); there it stands in for win32 in every test
#   fuzz    the libFuzzer targets (clang)
#   release the native launcher as released (static, optimised, stripped)
#           and its tests; the benchmarks measure this build
#   checks  no binaries: the tests that run the checks above (fuzzing,
#           memcheck, soaks, benchmark smoke run) over the trees already built
# Usage: build.sh [flavour]...   (default: native asan win32, and win64 where
# Wine cannot run win32)
# Then writes build/CTestTestfile.cmake, so that one `ctest --test-dir build`
# runs the tests of every tree built so far.
set -euo pipefail
cd "$(dirname "$0")/.."
flavors=("$@")
jobs=$(nproc)

# Trees whose tests the one ctest run reports, in the order they run: the
# quick unit and end-to-end tests first, and of the Windows builds only the
# one Wine can run here. A tree with tests of its own joins this list.
source scripts/wine-env.sh
test_trees=(native asan release "$LAUNCHER_WIN_BUILD" fuzz checks)
if [ ${#flavors[@]} -eq 0 ]; then
  flavors=(native asan win32)
  [ "$LAUNCHER_WIN_BUILD" = win32 ] || flavors+=("$LAUNCHER_WIN_BUILD")
fi

for flavor in "${flavors[@]}"; do
  case $flavor in
    native) args=(-DCMAKE_BUILD_TYPE=Debug) ;;
    asan) args=(-DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer") ;;
    # The Windows builds are built as shipped (see cmake/release.cmake), so
    # that their tests run what ships.
    win32) args=(-DCMAKE_BUILD_TYPE=MinSizeRel -DLAUNCHER_RELEASE=ON -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake) ;;
    win64) args=(-DCMAKE_BUILD_TYPE=MinSizeRel -DLAUNCHER_RELEASE=ON -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake) ;;
    release) args=(-DCMAKE_BUILD_TYPE=MinSizeRel -DLAUNCHER_RELEASE=ON) ;;
    fuzz)
      # A project of its own (clang, libFuzzer); its output is kept for when
      # the compiler is missing or the build breaks.
      mkdir -p build/fuzz
      if ! { cmake -S fuzz -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ \
               -DLAUNCHER_FUZZ_SECONDS="${LAUNCHER_FUZZ_SECONDS:-30}" >build/fuzz/configure.log 2>&1 &&
             cmake --build build/fuzz -j "$jobs" >build/fuzz/build.log 2>&1; }; then
        tail -n 30 build/fuzz/configure.log build/fuzz/build.log >&2
        echo "build.sh: the fuzz targets did not build (clang++ and libclang-rt come with LAUNCHER_SETUP_EXTRAS=1 bash scripts/setup.sh)" >&2
        exit 2
      fi
      continue
      ;;
    checks)
      cmake -S testing/checks -B build/checks >/dev/null
      continue
      ;;
    *) echo "unknown build $flavor" >&2; exit 2 ;;
  esac
  tree=build/$flavor
  prefix=$flavor
  [ "$flavor" = release ] && prefix=native-release
  cmake -S . -B "$tree" -DLAUNCHER_WERROR=ON -DLAUNCHER_TEST_PREFIX="$prefix" "${args[@]}" >/dev/null
  cmake --build "$tree" -j "$jobs" >/dev/null
done

built=()
for tree in "${test_trees[@]}"; do
  [ -f "build/$tree/CTestTestfile.cmake" ] && built+=("$tree")
done
printf 'subdirs(%s)\n' "${built[*]}" >build/CTestTestfile.cmake
# The checks of the shipped build run here too, whichever build the other
# Windows tests run.
if [ "$LAUNCHER_WIN_BUILD" != win32 ] && [ -f build/win32/release-tests.cmake ]; then
  printf 'include("%s")\n' "$PWD/build/win32/release-tests.cmake" >>build/CTestTestfile.cmake
fi
