#!/usr/bin/env bash
# Runs a command as on a fresh Debian 12 machine: in a new minimal Debian
# root (debootstrap, from Debian's packages as this machine's apt sources
# name them) holding a clone of this checkout's last commit, as root, with
# /proc, /sys and /dev mounted in. What a fresh machine lacks shows here, and
# not on a machine where something was once installed by hand.
# Usage: bash scripts/fresh-machine.sh 'COMMAND'
#   e.g. 'bash scripts/test.sh' or 'bash scripts/demo.sh'. The command runs in
#   the clone's root; its exit status is this script's. The root is made
#   under $LAUNCHER_FRESH_DIR (default /var/tmp) and removed afterwards, with
#   every mount undone, also on failure or interruption; LAUNCHER_FRESH_KEEP=1
#   keeps the root (unmounted) for a look inside.
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -eq 1 ] || { echo "usage: fresh-machine.sh 'COMMAND'" >&2; exit 2; }
command=$1
checkout=$PWD
[ "$(id -u)" = 0 ] || { echo "fresh-machine.sh: needs root (debootstrap, chroot, mounts)" >&2; exit 2; }
if ! command -v debootstrap >/dev/null; then
  echo "Installing: debootstrap"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap >/dev/null
fi

# Debian's own archive as this machine reaches it, and the apt sources that
# name it (other vendors' sources stay out).
debian_sources=()
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.sources /etc/apt/sources.list.d/*.list; do
  [ -f "$file" ] && grep -qE '^[^#]*(deb|URIs:).*/debian(-security)?/?( |$)' "$file" && debian_sources+=("$file")
done
mirror=$(cat "${debian_sources[@]}" 2>/dev/null |
  sed -nE 's#^[[:space:]]*(URIs:[[:space:]]*|deb[[:space:]]+(\[[^]]*\][[:space:]]+)?)([^[:space:]]+/debian)/?([[:space:]].*)?$#\3#p' | head -n 1)
[ -n "$mirror" ] || { echo "fresh-machine.sh: no Debian archive in this machine's apt sources" >&2; exit 2; }

base=$(mktemp -d "${LAUNCHER_FRESH_DIR:-/var/tmp}/launcher-fresh.XXXXXX")
root=$base/root
# Undoes everything, whatever state the run stopped in: processes still
# running inside (a wineserver, a server the tests started) are ended first,
# so that the mounts can go.
cleanup() {
  local status=$? proc
  trap - EXIT INT TERM
  for proc in /proc/[0-9]*; do
    if [ "$(readlink "$proc/root" 2>/dev/null)" = "$root" ]; then kill -9 "${proc#/proc/}" 2>/dev/null || true; fi
  done
  sleep 0.2
  local mount
  for mount in proc sys dev; do
    if mountpoint -q "$root/$mount" 2>/dev/null; then
      umount -R "$root/$mount" 2>/dev/null || umount -R -l "$root/$mount" || true
    fi
  done
  if grep -qF " $root/" /proc/self/mounts; then
    echo "fresh-machine.sh: mounts left under $root; the root is kept" >&2
  elif [ "${LAUNCHER_FRESH_KEEP:-}" = 1 ]; then
    echo "kept $root"
  else
    rm -rf "$base"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

echo "== A fresh Debian 12 root in $root (debootstrap, minbase, from $mirror)"
started=$SECONDS
debootstrap --variant=minbase bookworm "$root" "$mirror" >"$base/debootstrap.log" 2>&1 ||
  { tail -n 20 "$base/debootstrap.log" >&2; exit 2; }
rm -f "$root/etc/apt/sources.list"
cp "${debian_sources[@]}" "$root/etc/apt/sources.list.d/" 2>/dev/null || true
for file in "${debian_sources[@]}"; do
  [ "$file" = /etc/apt/sources.list ] && cp "$file" "$root/etc/apt/sources.list"
done
cp /etc/resolv.conf "$root/etc/resolv.conf"

# The last commit, as a clone; the design notes beside it, as CI has them.
mkdir -p "$root/work"
git clone --quiet "$checkout" "$root/work/main"
[ -d ../shared ] && cp -r ../shared "$root/work/shared"
echo "   made in $((SECONDS - started)) s; $(git -C "$root/work/main" log -1 --format='%h %s')"

mount -t proc proc "$root/proc"
mount -t sysfs sysfs "$root/sys"
# As systemd does on a real machine: the handlers for foreign programs.
mount -t binfmt_misc binfmt_misc "$root/proc/sys/fs/binfmt_misc" 2>/dev/null || true
mount --rbind /dev "$root/dev"
mount --make-rslave "$root/dev"

echo "== $command"
status=0
chroot "$root" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" LANG=C.UTF-8 CI="${CI:-}" \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  bash -c 'cd /work/main && eval "$1"' fresh-machine "$command" || status=$?
echo "== exit status $status after $((SECONDS - started)) s"
exit "$status"
