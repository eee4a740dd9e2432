#!/usr/bin/env bash
# Checks of what ships. Usage:
#   release_test.sh pe <win32BuildDir>
#     launcher.exe and sample-server.exe as built: PE32 console Intel 80386,
#     at most 64 KiB, stripped with their debug information beside them, no
#     link time, ASLR and DEP with relocations, imports from system DLLs
#     only, and manifest and version resources that read back as written.
#   release_test.sh static <nativeReleaseBuildDir>
#     the native launcher and sample-server as built: static PIEs (no
#     program interpreter, position independent), stripped, with their
#     debug information beside them.
#   release_test.sh reproducible [<win32BuildDir>]
#     clones this commit into two folders of different depth, packages each
#     at a different time, under another umask and time zone, and compares
#     the zips, the checksums and the debug information; builds the native
#     release in both and compares it too. With a build folder and a clean
#     tree, the tested launcher.exe must also be the packaged one.
# Exit 77 (skipped) when the sources are not a git checkout.
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
failures=0

fail() {
  echo "  FAIL: $*"
  failures=$((failures + 1))
}

expect_eq() {
  [ "$1" = "$2" ] || fail "$3"$'\n'"    expected: $2"$'\n'"    actual:   $1"
}

finish() {
  echo "$failures failure(s)"
  [ "$failures" = 0 ]
}

# The manifest resource of a PE file, as the bytes that were compiled in.
manifest_of() {
  i686-w64-mingw32-windres -i "$1" -O rc |
    awk '/^1 24 /{inside=1; next} inside && /^BEGIN/{next} inside && /^END/{inside=0} inside {
      line=$0; sub(/^ *"/, "", line); sub(/"$/, "", line); gsub(/""/, "\"", line); printf "%s", line }' |
    sed 's/\\n/\n/g'
}

# The PE header's TimeDateStamp, as a decimal number.
pe_timestamp() {
  local header
  header=$(od -An -tu4 -j 60 -N 4 "$1" | tr -d ' ')
  od -An -tu4 -j $((header + 8)) -N 4 "$1" | tr -d ' '
}

check_pe() {
  local exe=$1 manifest=$2 description=$3 version=$4
  local name
  name=$(basename "$exe")
  echo "== $name"
  [ -f "$exe" ] || { fail "$exe is missing"; return; }
  local headers
  headers=$(i686-w64-mingw32-objdump -p "$exe")

  case "$(file -b "$exe")" in
    "PE32 executable (console) Intel 80386"*) ;;
    *) fail "$name: file says: $(file -b "$exe")" ;;
  esac
  local size
  size=$(stat -c %s "$exe")
  echo "   $size bytes"
  [ "$size" -le 65536 ] || fail "$name is $size bytes, over 64 KiB"
  expect_eq "$(pe_timestamp "$exe")" 0 "$name: link time in the PE header"

  # Stripped, with the debug information in <exe>.debug and a link to it.
  i686-w64-mingw32-objdump -h "$exe" | grep -q '\.debug_' && fail "$name still holds debug sections"
  expect_eq "$(grep -c '^\[' <(i686-w64-mingw32-objdump -t "$exe" 2>/dev/null))" 0 "$name: symbols left"
  local link
  link=$(mktemp)
  i686-w64-mingw32-objcopy --dump-section ".gnu_debuglink=$link" "$exe" "$link.out" 2>/dev/null
  expect_eq "$(tr '\0' '\n' <"$link" | head -n 1)" "$name.debug" "$name: debug link"
  rm -f "$link" "$link.out"
  i686-w64-mingw32-objdump -h "$exe.debug" 2>/dev/null | grep -q '\.debug_info' || fail "$name.debug holds no debug information"

  # ASLR needs the base relocations to be kept.
  grep -q 'DYNAMIC_BASE' <<<"$headers" || fail "$name: no DYNAMIC_BASE"
  grep -q 'NX_COMPAT' <<<"$headers" || fail "$name: no NX_COMPAT"
  grep -q '^Entry 5 00000000 00000000' <<<"$headers" && fail "$name: no base relocations"
  echo "   $(sed -n '/^DllCharacteristics/,/^SizeOfStackReserve/p' <<<"$headers" | grep -v '^SizeOf' | tr -s '\t ' ' ' | tr '\n' ' ')"

  local dll
  while read -r dll; do
    echo "   imports $dll"
    case "${dll,,}" in
      kernel32.dll | msvcrt.dll | advapi32.dll | user32.dll | ntdll.dll | shell32.dll | ws2_32.dll) ;;
      *) fail "$name imports $dll, not a system DLL" ;;
    esac
  done < <(sed -n 's/^\tDLL Name: //p' <<<"$headers")

  expect_eq "$(manifest_of "$exe"; echo x)" "$(cat "$manifest"; echo x)" "$name: manifest resource"
  local resources major minor patch
  resources=$(i686-w64-mingw32-windres -i "$exe" -O rc)
  IFS=. read -r major minor patch <<<"$version"
  local line
  for line in " FILEVERSION $major, $minor, $patch, 0" " PRODUCTVERSION $major, $minor, $patch, 0" \
    "      VALUE \"FileVersion\", \"$version\"" "      VALUE \"ProductVersion\", \"$version\"" \
    "      VALUE \"FileDescription\", \"$description\"" "      VALUE \"OriginalFilename\", \"$name\"" \
    "      VALUE \"ProductName\", \"launcher\""; do
    grep -qxF -- "$line" <<<"$resources" || fail "$name: version resource lacks: $line"
  done
}

pe() {
  local build=$1 version
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
  [ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"
  check_pe "$build/launcher.exe" "$here/resources/launcher.manifest" "Process launcher" "$version"
  check_pe "$build/sample-server.exe" "$here/resources/utf8.manifest" "Sample server for the process launcher" "$version"
  finish
}

check_static() {
  local exe=$1 name headers
  name=$(basename "$exe")
  echo "== $name"
  [ -f "$exe" ] || { fail "$exe is missing"; return; }
  headers=$(readelf -h -l "$exe")
  grep -q 'Type: *DYN' <<<"$headers" || fail "$name is not position independent"
  ! grep -q 'INTERP' <<<"$headers" || fail "$name names a program interpreter: it is linked dynamically"
  ! readelf -S "$exe" | grep -q '\.symtab' || fail "$name is not stripped"
  [ -f "$exe.debug" ] || fail "$name has no $name.debug beside it"
}

static() {
  check_static "$1/launcher"
  check_static "$1/sample-server"
  finish
}

# Packages a fresh clone of the commit in $1 and builds its native release.
package_clone() {
  local dir=$1
  mkdir -p "$(dirname "$dir")"
  git clone --quiet "$here" "$dir" && git -C "$dir" checkout --quiet "$commit" || return 1
  (cd "$dir" && bash scripts/package.sh >/dev/null) || return 1
  cmake -S "$dir" -B "$dir/build/native-release" -DCMAKE_BUILD_TYPE=MinSizeRel -DLAUNCHER_RELEASE=ON \
    -DLAUNCHER_WERROR=ON -DLAUNCHER_TESTS=OFF >/dev/null &&
    cmake --build "$dir/build/native-release" -j 2 --target launcher sample-server >/dev/null
}

expect_same() {
  local file=$1
  if cmp -s "$one/$file" "$two/$file"; then
    echo "   same  $(sha256sum "$one/$file" | cut -c1-64)  $file"
  else
    fail "$file differs between the two folders"
  fi
}

reproducible() {
  local build=${1:-}
  git -C "$here" rev-parse --git-dir >/dev/null 2>&1 || { echo "not a git checkout: skipped"; exit 77; }
  commit=$(git -C "$here" rev-parse HEAD)
  local work
  work=$(mktemp -d "${TMPDIR:-/tmp}/launcher-release.XXXXXX")
  one="$work/a/launcher"
  two="$work/second-folder/one-level-deeper/launcher"
  echo "== commit $commit, packaged in $one and in $two"
  package_clone "$one" || fail "packaging in $one failed"
  # Later, under another umask and time zone.
  sleep 2
  (umask 077 && TZ=Asia/Tokyo package_clone "$two") || fail "packaging in $two failed"

  local zip
  zip=$(cd "$one/dist" && ls ./*.zip 2>/dev/null | head -n 1)
  zip=${zip#./}
  [ -n "$zip" ] || { fail "no zip in $one/dist"; finish; exit; }
  for file in "dist/$zip" dist/SHA256SUMS build/package/launcher.exe.debug build/package/sample-server.exe.debug \
    build/native-release/launcher build/native-release/sample-server \
    build/native-release/launcher.debug build/native-release/sample-server.debug; do
    expect_same "$file"
  done

  # What the zip holds, and that the checksums check.
  expect_eq "$(unzip -Z1 "$one/dist/$zip" | tr '\n' ' ')" "README.md SHA256SUMS launcher.exe sample-server.exe " "the zip's members"
  local unpacked="$work/unpacked"
  mkdir -p "$unpacked"
  unzip -q "$one/dist/$zip" -d "$unpacked"
  (cd "$unpacked" && sha256sum --quiet -c SHA256SUMS) || fail "the zip's SHA256SUMS does not check"
  (cd "$one/dist" && sha256sum --quiet -c --ignore-missing SHA256SUMS) || fail "dist/SHA256SUMS does not check the zip"
  expect_eq "$(tail -n +2 "$one/dist/SHA256SUMS")" "$(cat "$unpacked/SHA256SUMS")" "dist/SHA256SUMS holds the zip's checksums"
  cmp -s "$unpacked/README.md" <(git -C "$here" show "$commit:README.md") || fail "the zip's README.md is not the commit's"

  # The tests ran on what ships, if the tree is the commit.
  if [ -n "$build" ] && [ -z "$(git -C "$here" status --porcelain)" ]; then
    cmp -s "$build/launcher.exe" "$unpacked/launcher.exe" || fail "$build/launcher.exe is not the packaged launcher.exe"
    cmp -s "$build/sample-server.exe" "$unpacked/sample-server.exe" || fail "$build/sample-server.exe is not the packaged one"
  fi
  if [ "$failures" = 0 ]; then rm -rf "$work"; else echo "kept $work"; fi
  finish
}

case ${1:-} in
  pe) pe "$2" ;;
  static) static "$2" ;;
  reproducible) reproducible "${2:-}" ;;
  *) echo "usage: release_test.sh pe <win32BuildDir> | reproducible [<win32BuildDir>]" >&2; exit 2 ;;
esac
