#!/usr/bin/env bash
# Signs Windows executables in place with an Authenticode signature (SHA-256
# digest), as scripts/package.sh does for a release. Usage:
#   sign.sh <exe>...
# The certificate comes from the environment, never from the command line,
# which every user of the machine can read in the process list:
#   LAUNCHER_SIGN_PKCS12         the PKCS#12 file: the code-signing
#                                certificate, its private key and the
#                                intermediate certificates
#   LAUNCHER_SIGN_PASSWORD       its password, or
#   LAUNCHER_SIGN_PASSWORD_FILE  a file whose first line is its password
#   LAUNCHER_SIGN_TIMESTAMP_URL  optional: an RFC 3161 time-stamping server
# The signature records a signing time: SOURCE_DATE_EPOCH (the commit's time,
# as every other time in the package), else the commit's time here. So the
# same executable and RSA key sign to the same bytes, unless a time-stamping
# server is asked, whose answer holds its own clock.
# The signature's description is the executable's FileDescription, which
# Windows shows for a signed program where it shows the file name otherwise.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

[ $# -gt 0 ] || { echo "usage: sign.sh <exe>..." >&2; exit 2; }
pkcs12=${LAUNCHER_SIGN_PKCS12:-}
[ -n "$pkcs12" ] || { echo "sign.sh: LAUNCHER_SIGN_PKCS12 names no certificate" >&2; exit 2; }
[ -r "$pkcs12" ] || { echo "sign.sh: cannot read the certificate $pkcs12" >&2; exit 2; }
if [ -n "${LAUNCHER_SIGN_PASSWORD_FILE:-}" ]; then
  [ -r "$LAUNCHER_SIGN_PASSWORD_FILE" ] || { echo "sign.sh: cannot read the password file $LAUNCHER_SIGN_PASSWORD_FILE" >&2; exit 2; }
  password=(-readpass "$LAUNCHER_SIGN_PASSWORD_FILE")
elif [ -n "${LAUNCHER_SIGN_PASSWORD+set}" ]; then
  # Read from standard input: printf is the shell's own, so the password is
  # in no process's arguments.
  password=(-readpass /dev/stdin)
else
  echo "sign.sh: no password for $pkcs12: set LAUNCHER_SIGN_PASSWORD or LAUNCHER_SIGN_PASSWORD_FILE (an empty LAUNCHER_SIGN_PASSWORD for none)" >&2
  exit 2
fi
command -v osslsigncode >/dev/null || { echo "sign.sh: osslsigncode is missing: Debian package osslsigncode (bash scripts/setup.sh installs it)" >&2; exit 2; }
time=${SOURCE_DATE_EPOCH:-$(git -C "$here" log -1 --format=%ct)}
timestamp=()
[ -z "${LAUNCHER_SIGN_TIMESTAMP_URL:-}" ] || timestamp=(-ts "$LAUNCHER_SIGN_TIMESTAMP_URL")

for exe in "$@"; do
  description=$(i686-w64-mingw32-windres -i "$exe" -O rc |
    sed -n 's/^ *VALUE "FileDescription", "\(.*\)"$/\1/p' | head -n 1)
  [ -n "$description" ] || { echo "sign.sh: $exe has no FileDescription in its version resource" >&2; exit 1; }
  rm -f "$exe.signed"
  if ! printf '%s' "${LAUNCHER_SIGN_PASSWORD:-}" |
    osslsigncode sign -pkcs12 "$pkcs12" "${password[@]}" -h sha256 -n "$description" \
      -time "$time" "${timestamp[@]}" -in "$exe" -out "$exe.signed" >"$exe.sign.log" 2>&1; then
    echo "sign.sh: osslsigncode could not sign $exe:" >&2
    cat "$exe.sign.log" >&2
    rm -f "$exe.signed" "$exe.sign.log"
    exit 1
  fi
  rm -f "$exe.sign.log"
  chmod --reference="$exe" "$exe.signed"
  mv "$exe.signed" "$exe"
done
