#!/usr/bin/env bash
# Checks of what ships. Usage:
#   release_test.sh pe <win32BuildDir>
#     launcher.exe and sample-server.exe as built: PE32 console Intel 80386,
#     at most 68 KiB, stripped with their debug information beside them, no
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
#     tree, the tested launcher.exe must also be the packaged one. Then
#     packages both again, signed with a throwaway certificate and root:
#     the same bytes in both; each executable verifies against that root,
#     records the commit's time, fails with one byte changed, differs from
#     the unsigned one only by the signature, and passes the pe checks.
#   release_test.sh shipped <win32BuildDir>
#     launcher.exe and sample-server.exe as built for shipping (the
#     reproducible check shows them to be the packaged bytes), run for real
#     under 32-bit Wine: natively where the host runs 32-bit programs, else
#     under the emulation that setup registers (about a minute a process).
#     An unknown subcommand, run of a child's exit code, launch, and start
#     then stop of the sample server, in an instance directory named in ASCII
#     and in one named outside it, and by both signed as a release is with a
#     throwaway certificate; each checks the exit code and the log.
# Exit 77 (skipped) when the sources are not a git checkout (reproducible).
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

expect_contains() {
  grep -qF -- "$2" <<<"$1" || fail "$3: missing $(printf '%q' "$2")"
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
  # The certificate table of a signature (data directory entry 4, whose
  # address is a file offset) ends the file and holds no code: it is not
  # counted.
  local size signature_at
  size=$(stat -c %s "$exe")
  signature_at=$(sed -n 's/^Entry 4 \([0-9a-f]*\) [0-9a-f]* Security Directory$/\1/p' <<<"$headers")
  [ "$((16#${signature_at:-0}))" = 0 ] || size=$((16#$signature_at))
  echo "   $size bytes$([ "$((16#${signature_at:-0}))" = 0 ] || echo ' before the signature')"
  # 64 KiB until the PID file got its own access list and the instance
  # folders their handle-relative opens (67,101 bytes); trimming back is open.
  [ "$size" -le 69632 ] || fail "$name is $size bytes, over 68 KiB"
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

# A throwaway root, and a code-signing certificate that it issued, as a
# certification authority's would be: $1/root.pem, $1/signer.p12 and its
# password in $1/password. RSA, whose signatures (unlike ECDSA's) are the
# same bytes every time.
make_certificate() {
  local dir=$1
  mkdir -p "$dir"
  (cd "$dir" &&
    openssl req -x509 -newkey rsa:2048 -nodes -keyout root.key -out root.pem -days 30 \
      -subj "/CN=Launcher Test Root" -addext "basicConstraints=critical,CA:TRUE" \
      -addext "keyUsage=critical,keyCertSign,cRLSign" &&
    openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=Launcher Test Publisher" &&
    printf '%s\n' basicConstraints=critical,CA:FALSE keyUsage=critical,digitalSignature \
      extendedKeyUsage=codeSigning >signer.ext &&
    openssl x509 -req -in signer.csr -CA root.pem -CAkey root.key -CAcreateserial -days 30 \
      -extfile signer.ext -out signer.pem &&
    printf 'throwaway password\n' >password &&
    openssl pkcs12 -export -inkey signer.key -in signer.pem -out signer.p12 -passout file:password) \
    >"$dir.log" 2>&1 || { fail "no throwaway certificate: $(tail -n 3 "$dir.log")"; return 1; }
}

# Offsets of the PE32 header fields that signing rewrites: the checksum and
# the certificate table's entry in the data directory.
pe_checksum_at() { echo $(($(od -An -tu4 -j 60 -N 4 "$1" | tr -d ' ') + 24 + 64)); }
pe_certificates_at() { echo $(($(od -An -tu4 -j 60 -N 4 "$1" | tr -d ' ') + 24 + 128)); }

# check_signed signedExe unsignedExe rootCertificate description time:
# verifies against the root alone, with that signing time (Unix) and the
# description; one changed byte fails; and the unsigned bytes are all there,
# but for the checksum and the certificate table's entry.
check_signed() {
  local exe=$1 unsigned=$2 root=$3 description=$4 time=$5
  local name report
  name=$(basename "$exe")
  echo "== $name, signed"
  if report=$(osslsigncode verify -CAfile "$root" -in "$exe" 2>&1); then
    echo "   verifies against the throwaway root; signed by $(sed -n "s/^[[:space:]]*Subject: //p" <<<"$report" | head -n 1)"
  else
    fail "$name does not verify against the throwaway root:"$'\n'"$(grep -iE 'error|mismatch|fail' <<<"$report" | head -n 5)"
  fi
  expect_contains "$report" "Message digest algorithm  : SHA256" "$name: the digest"
  expect_contains "$report" "Signing time: $(TZ=UTC LC_ALL=C date -d "@$time" '+%b %e %H:%M:%S %Y') GMT" \
    "$name: the signing time"
  expect_contains "$report" "Text description: $description" "$name: the signature's description"

  # A byte in the middle of the code, changed.
  local changed="$exe.changed" at byte
  cp "$exe" "$changed"
  at=$(($(pe_checksum_at "$exe") + 4096))
  byte=$(od -An -tu1 -j "$at" -N 1 "$changed" | tr -d ' ')
  printf "\\$(printf %03o $(((byte + 1) & 255)))" | dd of="$changed" bs=1 seek="$at" conv=notrunc status=none
  if osslsigncode verify -CAfile "$root" -in "$changed" >"$changed.log" 2>&1; then
    fail "$name with byte $at changed still verifies"
  else
    echo "   with byte $at changed: $(grep -m 1 -E 'MISMATCH|Failed' "$changed.log" | tr -s '\t ' ' ')"
  fi
  rm -f "$changed" "$changed.log"

  # Signing appends the signature (after padding to 8 bytes) and rewrites
  # two header fields; nothing else of the program changes.
  local size differences
  size=$(stat -c %s "$unsigned")
  differences=$(cmp -l <(head -c "$size" "$exe") "$unsigned" | awk -v c="$(pe_checksum_at "$unsigned")" \
    -v t="$(pe_certificates_at "$unsigned")" '!(($1 > c && $1 <= c + 4) || ($1 > t && $1 <= t + 8)) { print $1 - 1 }' | head -n 5)
  expect_eq "$differences" "" "$name: signed, it differs from the unsigned one at byte offsets"
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
  command -v git >/dev/null || { fail "git is missing: Debian package git (bash scripts/setup.sh installs it)"; finish; exit; }
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
  signed_packages "$work" "$zip"
  if [ "$failures" = 0 ]; then rm -rf "$work"; else echo "kept $work"; fi
  finish
}

# The packages of $one and $two made again, signed with a throwaway
# certificate: the password in the environment in one, in a file in the
# other, later and under another umask and time zone. $2: the zip's name;
# the unsigned package is unpacked in $1/unpacked.
signed_packages() {
  local work=$1 zip=$2
  local certificate="$work/certificate"
  echo "== signed with a throwaway certificate, packaged again in both folders"
  command -v osslsigncode >/dev/null && command -v openssl >/dev/null ||
    { fail "osslsigncode or openssl is missing: Debian packages osslsigncode and openssl (bash scripts/setup.sh installs them)"; return; }
  make_certificate "$certificate" || return
  (cd "$one" && LAUNCHER_SIGN_PKCS12="$certificate/signer.p12" LAUNCHER_SIGN_PASSWORD=$(head -n 1 "$certificate/password") \
    bash scripts/package.sh >/dev/null) || { fail "signed packaging in $one failed"; return; }
  sleep 2
  (cd "$two" && umask 077 && TZ=Asia/Tokyo LAUNCHER_SIGN_PKCS12="$certificate/signer.p12" \
    LAUNCHER_SIGN_PASSWORD_FILE="$certificate/password" bash scripts/package.sh >/dev/null) ||
    { fail "signed packaging in $two failed"; return; }
  expect_same "dist/$zip"
  expect_same dist/SHA256SUMS

  local signed="$work/signed"
  mkdir -p "$signed"
  unzip -q "$one/dist/$zip" -d "$signed"
  (cd "$signed" && sha256sum --quiet -c SHA256SUMS) || fail "the signed zip's SHA256SUMS does not check"
  (cd "$one/dist" && sha256sum --quiet -c --ignore-missing SHA256SUMS) || fail "dist/SHA256SUMS does not check the signed zip"
  expect_eq "$(tail -n +2 "$one/dist/SHA256SUMS")" "$(cat "$signed/SHA256SUMS")" "dist/SHA256SUMS holds the signed zip's checksums"
  cmp -s "$signed/README.md" "$work/unpacked/README.md" || fail "the signed zip's README.md is not the unsigned one's"

  # The signing time is the one package.sh takes: the commit's.
  local time version name description
  time=${SOURCE_DATE_EPOCH:-$(git -C "$one" log -1 --format=%ct)}
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$one/build/package/CMakeCache.txt")
  for name in launcher.exe sample-server.exe; do
    description="Process launcher"
    [ "$name" = launcher.exe ] || description="Sample server for the process launcher"
    check_signed "$signed/$name" "$work/unpacked/$name" "$certificate/root.pem" "$description" "$time"
    cp "$one/build/package/$name.debug" "$signed/"
  done
  check_pe "$signed/launcher.exe" "$here/resources/launcher.manifest" "Process launcher" "$version"
  check_pe "$signed/sample-server.exe" "$here/resources/utf8.manifest" "Sample server for the process launcher" "$version"
}

# One run of the shipped launcher.exe from a Linux parent, which sees the
# exit code's low 8 bits; the log's closing line holds all 32. Sets code,
# returned (the closing line's value) and entries (the run's log lines).
# A run that left no entry in the log and whose Wine said why did not start:
# that is Wine's failure, not the launcher's, and is tried once more.
run_shipped() {
  local attempt before
  for attempt in 1 2; do
    before=$(log_lines)
    (cd "$install" && LC_ALL=C.UTF-8 timeout --kill-after=10 600 "$wine32" "$(win_path "$install/bin/launcher.exe")" "$@" \
      </dev/null >"$install/stdout.txt" 2>"$install/stderr.txt")
    code=$?
    entries=$(tr -d '\r' 2>/dev/null <"$log" | tail -n +$((before + 1)))
    [ -n "$entries" ] || [ ! -s "$install/stderr.txt" ] || [ "$attempt" = 2 ] || {
      echo "   Wine did not start launcher.exe ($1, exit status $code; retrying once): $(head -c 300 "$install/stderr.txt")"
      continue
    }
    break
  done
  returned=$(sed -n 's/.*(pid=[0-9]*)  main finished\. Returning \(-\{0,1\}[0-9]*\)$/\1/p' <<<"$entries" | tail -n 1)
  echo "   launcher.exe $*: exit status $code, returned ${returned:-nothing}"
  [ -n "$returned" ] || fail "launcher.exe $1: no closing line in the log; stderr: $(head -c 300 "$install/stderr.txt")"
  # Wine keeps a nonzero result from passing for success: one whose low
  # byte is 0 (a PID of 256, say) exits with 1.
  if [ -n "$returned" ]; then
    local low=$((returned & 255))
    [ "$returned" = 0 ] || [ "$low" != 0 ] || low=1
    expect_eq "$code" "$low" "launcher.exe $1: exit status is the low byte of the result"
  fi
}

log_lines() { [ -f "$log" ] && wc -l <"$log" || echo 0; }
win_path() { printf 'Z:%s' "${1//\//\\}"; }

# Whether a process holds the first byte of the file (F_GETLK: takes no lock).
lock_held() {
  [ -e "$1" ] && python3 - "$1" <<'PY'
import fcntl, os, struct, sys
shape = 'hhqqi'
fd = os.open(sys.argv[1], os.O_RDONLY)
request = struct.pack(shape, fcntl.F_WRLCK, os.SEEK_SET, 0, 1, 0) + b'\0' * 8
answer = fcntl.fcntl(fd, fcntl.F_GETLK, request)
sys.exit(0 if struct.unpack(shape, answer[:struct.calcsize(shape)])[0] != fcntl.F_UNLCK else 1)
PY
}

# Whether a process of this prefix still runs the program.
program_running() {
  grep -qsaF "$1" /proc/[0-9]*/cmdline
}

# wait_for seconds what command...
wait_for() {
  local seconds=$1 what=$2
  shift 2
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || { fail "waited $seconds s for $what"; return 1; }
    sleep 0.5
  done
}

start_and_stop() {
  local instance=$1 pid_file="$1/logs/server.pid" lock="$1/locks/server.lock"
  mkdir -p "$instance/logs"
  run_shipped start "$(win_path "$instance")" "$(win_path "$install/bin/sample-server.exe")" "$(win_path "$instance")"
  local pid=$returned
  expect_eq "$(od -An -tx1 "$pid_file" 2>/dev/null | tr -d ' \n')" "$(printf '%s\r\n' "$pid" | od -An -tx1 | tr -d ' \n')" \
    "start: the PID file holds the PID and CR LF"
  wait_for 300 "the sample server to hold its lock" lock_held "$lock" || return
  run_shipped stop "$(win_path "$instance")"
  expect_eq "$code" 0 "stop: exit status"
  expect_eq "$returned" 0 "stop: result"
  lock_held "$lock" && fail "stop returned, but the server lock is still held"
  [ -e "$pid_file" ] && fail "stop left the PID file"
  expect_contains "$entries" "Acquired the lock on '$(win_path "$lock")', so the server is stopped." "stop: the log"
  wait_for 60 "the sample server to be gone" eval '! program_running sample-server.exe'
}

# The processes of the given Wine prefixes: every process whose environment
# names one of them (Wine's server and loaders, and the Windows programs
# they run: the session probe, wineboot, services.exe, winedevice.exe), or
# whose command line holds a path inside one. This shell and its callers
# are never among them, and the scan starts no process of its own that
# could be. One PID a line.
prefix_processes() {
  local -A mine=()
  local pid=$BASHPID stat dir entry prefix found
  while [ "${pid:-0}" != 0 ] && [ -z "${mine[$pid]:-}" ]; do
    mine[$pid]=1
    read -r stat <"/proc/$pid/stat" 2>/dev/null || break
    stat=${stat##*') '}
    read -r _ pid _ <<<"$stat"
  done
  for dir in /proc/[0-9]*; do
    pid=${dir#/proc/}
    [ -z "${mine[$pid]:-}" ] || continue
    found=
    while [ -z "$found" ] && IFS= read -r -d '' entry; do
      for prefix in "$@"; do
        [ "$entry" = "WINEPREFIX=$prefix" ] && found=1
      done
    done 2>/dev/null <"$dir/environ"
    while [ -z "$found" ] && IFS= read -r -d '' entry; do
      for prefix in "$@"; do
        [[ "$entry" == *"$prefix/"* ]] && found=1
      done
    done 2>/dev/null <"$dir/cmdline"
    [ -z "$found" ] || echo "$pid"
  done
}

# Ends every process of the given prefixes, by PID: TERM, then KILL for
# what is left after 10 s. `wineserver -k` is not enough: under emulation
# the prefix's programs do not notice that their server has gone, and run
# on (the session probe for two hours). 0 when none is left.
end_prefix_processes() {
  local signal pids
  for signal in TERM KILL; do
    pids=$(prefix_processes "$@")
    [ -n "$pids" ] || return 0
    # shellcheck disable=SC2086
    kill -s "$signal" $pids 2>/dev/null
    for _ in $(seq 20); do
      [ -n "$(prefix_processes "$@")" ] || return 0
      sleep 0.5
    done
  done
  [ -z "$(prefix_processes "$@")" ]
}

# What is left of the prefixes, for a failure message: PID and command line.
describe_prefix_processes() {
  local pid
  for pid in $(prefix_processes "$@"); do
    printf ' [%s %s]' "$pid" "$(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | head -c 120)"
  done
}

# On every way out of the shipped test: the server ended, then every
# process of the prefix (and of one being made), the work folder removed.
# A process left running is a failure, whatever else happened.
end_shipped_test() {
  local status=$?
  wineserver -k >/dev/null 2>&1
  if ! end_prefix_processes "$WINEPREFIX" "$WINEPREFIX.new"; then
    echo "  FAIL: processes of $WINEPREFIX still running:$(describe_prefix_processes "$WINEPREFIX" "$WINEPREFIX.new")"
    status=1
  fi
  [ -z "${work:-}" ] || rm -rf "$work"
  exit "$status"
}

# Makes the 32-bit prefix aside and puts it in place only once whole: under
# emulation Wine itself crashes now and then (qemu: "uncaught target
# signal 11"), and a prefix whose set-up stopped half-way lacks DLLs that
# every later program needs. Tried three times.
make_prefix32() {
  local fresh="$WINEPREFIX.new" attempt
  echo "   making the 32-bit Wine prefix $WINEPREFIX (several minutes where emulated)"
  for attempt in 1 2 3; do
    rm -rf "$fresh" "$WINEPREFIX"
    WINEPREFIX=$fresh "$wine32" wineboot -i >"$fresh.log" 2>&1
    # Not `wineserver -w`: under emulation the prefix's desktop and device
    # programs linger for half an hour and more. Ending them saves the
    # registry as a normal shutdown does.
    WINEPREFIX=$fresh wineserver -k 2>/dev/null
    if [ -f "$fresh/system.reg" ] && [ -f "$fresh/drive_c/windows/system32/msvcrt.dll" ] &&
      [ -f "$fresh/drive_c/windows/system32/cmd.exe" ]; then
      mv "$fresh" "$WINEPREFIX"
      rm -f "$fresh.log"
      return 0
    fi
    echo "   the prefix's set-up stopped half-way (attempt $attempt): $(grep -m 1 -E 'qemu|err' "$fresh.log")"
  done
  fail "no whole 32-bit Wine prefix after three attempts"
  return 1
}

# Starts a probe that sleeps for two hours, and waits for its report: the
# session is up then. A start that Wine crashed in is tried once more.
start_session() {
  local attempt session
  for attempt in 1 2; do
    "$wine32" "$(win_path "$work/app/bin/probe.exe")" "$(win_path "$work/session.txt")" --sleep=7200000 \
      </dev/null >/dev/null 2>"$work/session-stderr.txt" &
    session=$!
    local deadline=$((SECONDS + 900))
    while kill -0 "$session" 2>/dev/null && [ ! -s "$work/session.txt" ] && [ "$SECONDS" -lt "$deadline" ]; do sleep 1; done
    [ -s "$work/session.txt" ] && return 0
    echo "   Wine did not start the session (attempt $attempt): $(head -c 300 "$work/session-stderr.txt")"
    wineserver -k 2>/dev/null
    end_prefix_processes "$WINEPREFIX"
  done
  fail "no Wine session after two attempts"
  return 1
}

shipped() {
  local build=$1
  source "$here/scripts/wine-env.sh"
  if [ "$LAUNCHER_IA32" = none ]; then
    fail "no 32-bit Wine runs here: it needs the package wine32:i386 and, where the kernel runs no 32-bit programs, qemu-user-static registered for them (bash scripts/setup.sh does both)"
    finish
    exit
  fi
  wine32=/usr/lib/wine/wine
  echo "== launcher.exe and sample-server.exe of $build, under 32-bit Wine ($LAUNCHER_IA32)"
  # A prefix of its own: a 64-bit one cannot serve 32-bit Wine.
  export WINEPREFIX="$here/build/wineprefix32" WINEARCH=win32 WINEDEBUG=-all
  # Fewer programs to emulate: no .NET or HTML engine installed (the
  # launcher needs neither), no desktop menu entries made.
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  hold_wine_prefix
  work=
  trap end_shipped_test EXIT
  [ -f "$WINEPREFIX/drive_c/windows/system32/msvcrt.dll" ] || make_prefix32 || { finish; exit; }
  work=$(mktemp -d "${TMPDIR:-/tmp}/launcher-shipped.XXXXXX")
  mkdir -p "$work/app/bin" "$work/app/logs"
  cp "$build/launcher.exe" "$build/sample-server.exe" "$build/probe.exe" "$work/app/bin/"

  # One Wine session for every case: a program kept running between them
  # keeps the prefix's server, services and desktop up, which otherwise
  # every run starts anew (under emulation, minutes a run).
  echo "-- starting the Wine session (minutes where emulated)"
  start_session || { finish; exit; }

  # Without a logs folder beside bin, the log goes to the temporary folder,
  # which the launcher looks up at run time (GetTempPath2A or GetTempPathA).
  echo "-- an unknown subcommand, logged in the temporary folder"
  local temp
  temp=$(find "$WINEPREFIX/drive_c/users" -mindepth 2 -maxdepth 2 -name Temp ! -path '*/Public/*' | head -n 1)
  log="$temp/logs/native-windows.out"
  rm -f "$log"
  install="$work/bare"
  mkdir -p "$install/bin"
  cp "$build/launcher.exe" "$install/bin/"
  run_shipped nope x
  expect_eq "$returned" -1 "nope: result"
  expect_contains "$(tr -d '\r' <"$install/stderr.txt")" "Unknown subcommand: [nope]" "nope: standard error"
  expect_contains "$entries" "FIRST LOG MESSAGE FROM '$(win_path "$install/bin/launcher.exe")'" "nope: the banner"

  install="$work/app"
  log="$install/logs/native-windows.out"

  echo "-- run: the child's exit code"
  run_shipped run "$(win_path "$install/bin/probe.exe")" "$(win_path "$work/run.txt")" --exit=3
  expect_eq "$returned" 3 "run: result"
  expect_contains "$(cat "$work/run.txt" 2>/dev/null)" "argv[2]=--exit=3" "run: the child's words"

  echo "-- launch"
  run_shipped launch "$(win_path "$install/bin/probe.exe")" "$(win_path "$work/launch.txt")"
  wait_for 300 "the launched child's report" test -s "$work/launch.txt" &&
    expect_contains "$(cat "$work/launch.txt")" "pid=$returned" "launch: the result is the child's PID"

  echo "-- start and stop of the sample server"
  start_and_stop "$work/instance"
  echo "-- start and stop in an instance directory named outside the code page"
  start_and_stop "$work/инстанс-实例"

  # As a release signed with a certificate ships them: the signature is
  # appended to the file, after everything the loader reads.
  echo "-- start and stop by launcher.exe and sample-server.exe signed with a throwaway certificate"
  install="$work/signed"
  log="$install/logs/native-windows.out"
  mkdir -p "$install/bin" "$install/logs"
  cp "$build/launcher.exe" "$build/sample-server.exe" "$install/bin/"
  if make_certificate "$work/certificate" &&
    LAUNCHER_SIGN_PKCS12="$work/certificate/signer.p12" LAUNCHER_SIGN_PASSWORD_FILE="$work/certificate/password" \
      bash "$here/scripts/sign.sh" "$install/bin/launcher.exe" "$install/bin/sample-server.exe"; then
    osslsigncode verify -CAfile "$work/certificate/root.pem" -in "$install/bin/launcher.exe" >/dev/null 2>&1 ||
      fail "the signed launcher.exe does not verify"
    start_and_stop "$work/signed-instance"
  else
    fail "could not sign launcher.exe and sample-server.exe with a throwaway certificate"
  fi

  echo "-- nothing of the prefix is left running"
  wineserver -k >/dev/null 2>&1
  end_prefix_processes "$WINEPREFIX" ||
    fail "processes of the prefix still running after TERM and KILL:$(describe_prefix_processes "$WINEPREFIX")"
  finish
}

case ${1:-} in
  pe) pe "$2" ;;
  shipped) shipped "$2" ;;
  static) static "$2" ;;
  reproducible) reproducible "${2:-}" ;;
  *) echo "usage: release_test.sh pe|shipped <win32BuildDir> | static <nativeReleaseBuildDir> | reproducible [<win32BuildDir>]" >&2; exit 2 ;;
esac
