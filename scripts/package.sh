#!/usr/bin/env bash
# Builds the release from a clean tree in a fresh folder (build/package) and
# writes dist/launcher-<version>-win32.zip, holding launcher.exe,
# sample-server.exe, README.md and SHA256SUMS, and dist/SHA256SUMS beside it
# (the zip's checksum and the same ones as inside). The same commit gives the
# same bytes in any folder at any time: the time stamps come from the commit.
# The debug information stays in build/package/*.exe.debug.
# Given a code-signing certificate (LAUNCHER_SIGN_PKCS12 and its password;
# see scripts/sign.sh), the packaged executables are signed, and the zip and
# the checksums hold the signed bytes; build/package keeps the unsigned ones.
set -euo pipefail
cd "$(dirname "$0")/.."
LAUNCHER_SETUP_NO_PREFIX=1 bash scripts/setup.sh

if [ -n "$(git status --porcelain)" ]; then
  echo "package.sh: the tree has uncommitted changes; a package is made from a commit only" >&2
  git status --short >&2
  exit 1
fi
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
# A password or a time-stamping server without a certificate is a mistake
# that would otherwise ship unsigned executables.
if [ -z "${LAUNCHER_SIGN_PKCS12:-}" ] && [ -n "${LAUNCHER_SIGN_PASSWORD_FILE:-}${LAUNCHER_SIGN_TIMESTAMP_URL:-}${LAUNCHER_SIGN_PASSWORD+set}" ]; then
  echo "package.sh: signing settings given, but LAUNCHER_SIGN_PKCS12 names no certificate" >&2
  exit 1
fi

build=build/package
rm -rf "$build"
# As scripts/build.sh win32, without the tests.
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=MinSizeRel \
  -DLAUNCHER_RELEASE=ON -DLAUNCHER_WERROR=ON -DLAUNCHER_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target launcher sample-server >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || { echo "package.sh: no project version in $build/CMakeCache.txt" >&2; exit 1; }

# Fixed members, order, modes and times, and no extra fields (owner, extended
# times), so that the zip is the same bytes on every run.
stage="$build/stage"
mkdir -p "$stage"
cp "$build/launcher.exe" "$build/sample-server.exe" README.md "$stage/"
[ -z "${LAUNCHER_SIGN_PKCS12:-}" ] || bash scripts/sign.sh "$stage/launcher.exe" "$stage/sample-server.exe"
members=(README.md launcher.exe sample-server.exe)
(cd "$stage" && sha256sum "${members[@]}" >SHA256SUMS)
members+=(SHA256SUMS)
chmod 644 "$stage"/*
# zip stores local time: UTC on both sides keeps it the commit's time.
TZ=UTC touch -d "@$SOURCE_DATE_EPOCH" "$stage"/*

name="launcher-$version-win32.zip"
rm -rf dist
mkdir -p dist
(cd "$stage" && TZ=UTC zip -X -D -q "../$name" $(printf '%s\n' "${members[@]}" | LC_ALL=C sort))
mv "$build/$name" dist/
(cd dist && sha256sum "$name" >SHA256SUMS && cat "../$stage/SHA256SUMS" >>SHA256SUMS)

echo "dist/$name"
cat dist/SHA256SUMS
