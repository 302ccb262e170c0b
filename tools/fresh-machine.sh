#!/usr/bin/env bash
# The README's promise, checked as a new user meets it: a Debian minbase root (12 or 13) made with
# debootstrap, with only make and git installed, a clone of one commit, then `make test`,
# `make demo` and `make lint` run in it one after the other. Prints each command's exit code and
# time, keeps each one's output, and removes the root (unmounts, ends what ran inside) however it ends.
#   tools/fresh-machine.sh [--release 12|13] [COMMIT] [WORK-FOLDER]
#                                  (default: Debian 12, HEAD, a new folder in /var/tmp)
# Needs root, debootstrap and Debian's package registry; takes about half an hour on two cores.
# Exit status: 0 when all three commands passed, 1 when one failed, 2 when the root could not be made.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
release=12
if [ "${1:-}" = --release ]; then
  release=${2:-}
  shift 2 || true
fi
case "$release" in
  12) suite=bookworm ;;
  13) suite=trixie ;;
  *) echo "fresh-machine: --release takes 12 or 13" >&2; exit 2 ;;
esac
commit=$(git -C "$top" rev-parse --verify "${1:-HEAD}^{commit}")
work=${2:-$(mktemp -d /var/tmp/ravelin-fresh.XXXXXX)}
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
root=$work/root
[ "$(id -u)" -eq 0 ] || { echo "fresh-machine: needs root (debootstrap, chroot, mounts)" >&2; exit 2; }
command -v debootstrap >/dev/null || { echo "fresh-machine: needs debootstrap (apt-get install debootstrap)" >&2; exit 2; }
mkdir -p "$work"

mounted=()
cleanup() {
  # Whatever still runs inside (a wineserver a failed run left behind) holds the mounts.
  local pid
  for pid in $(ls /proc | grep -E '^[0-9]+$'); do
    [ "$(readlink "/proc/$pid/root" 2>/dev/null)" = "$root" ] && kill -9 "$pid" 2>/dev/null || true
  done
  sleep 1
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" 2>/dev/null || true; done
  rm -rf "$root"
  echo "fresh-machine: logs in $work"
}
trap cleanup EXIT
mount_in() { # TYPE-OR-BIND SOURCE TARGET
  mkdir -p "$root$3"
  if [ "$1" = bind ]; then mount --bind "$2" "$root$3"; else mount -t "$1" "$2" "$root$3"; fi
  mounted+=("$root$3")
}

echo "fresh-machine: Debian $release minbase in $root"
debootstrap --variant=minbase "$suite" "$root" "$mirror" >"$work/debootstrap.log" 2>&1 ||
  { tail -n 20 "$work/debootstrap.log" >&2; echo "fresh-machine: debootstrap failed" >&2; exit 2; }
# A fresh installation takes its updates and security fixes too.
cat >"$root/etc/apt/sources.list" <<SOURCES
deb $mirror $suite main
deb $mirror $suite-updates main
deb http://deb.debian.org/debian-security $suite-security main
SOURCES
cp /etc/resolv.conf "$root/etc/resolv.conf"
mount_in proc proc /proc
mount_in sysfs sysfs /sys
# The machine's own devices, bound read-only: nothing inside can remove them, nor can removing the
# work folder while a run is still alive (a bound folder is removed through).
mount_in bind /dev /dev
mount -o remount,bind,ro "$root/dev"
mount_in devpts devpts /dev/pts
mount_in tmpfs tmpfs /dev/shm
inside() { chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 bash -c "$1"; }
inside 'apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq make git >/dev/null' \
  >"$work/make-and-git.log" 2>&1 || { cat "$work/make-and-git.log" >&2; exit 2; }

# Cloned by the root's own git from the repository, which it sees read-only.
mount_in bind "$top" /mnt/origin
mount -o remount,bind,ro "$root/mnt/origin"
inside "git config --global --add safe.directory '*' && git clone -q /mnt/origin /root/ravelin &&
  cd /root/ravelin && git checkout -q $commit" >"$work/clone.log" 2>&1 || { cat "$work/clone.log" >&2; exit 2; }
echo "fresh-machine: commit $commit cloned"

status=0
for command in test demo lint; do
  start=$(date +%s)
  set +e
  inside "cd /root/ravelin && make $command" >"$work/make-$command.log" 2>&1
  code=$?
  set -e
  seconds=$(($(date +%s) - start))
  printf 'fresh-machine: make %-5s exit %d in %dm%02ds (%s)\n' "$command" "$code" $((seconds / 60)) \
    $((seconds % 60)) "$work/make-$command.log"
  [ "$code" -eq 0 ] || { status=1; tail -n 25 "$work/make-$command.log" | sed 's/^/    /'; }
done
exit $status
