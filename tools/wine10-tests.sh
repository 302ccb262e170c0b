#!/usr/bin/env bash
# The second test platform (make test-wine10): the test programs and whole-process tests already
# built in BUILD-FOLDER, run under Wine 10 from Debian 13's packages, in a Debian 13 root of their
# own. Wine 10 implements far more of Windows than Debian 12's Wine 8; a test that passes under one
# and fails under the other is a fault of ours or a Wine quirk a test relied on.
#   tools/wine10-tests.sh BUILD-FOLDER
# The root is made once (debootstrap, minbase, then Wine and what the tests' scripts call; about
# 1.3 GB) in $RAVELIN_CACHE/wine10-root ($RAVELIN_CACHE defaults to ~/.cache/ravelin, beside the
# compiler cache) and reused; it is made again when the package list below changes. The tests run
# in a mount namespace of their own, with the repository bound at its own path and a Wine prefix of
# their own (BUILD-FOLDER/wineprefix-wine10) in place of the build's prefix, so nothing of the
# Wine 8 runs is touched. The packaging checks (release.*), the tools' own checks (tools.*) and the
# checks that read only the source or the built files (product.* except product.untrusted_paths) do
# not run here: no Wine in them.
# On Debian 13, make test itself runs under its Wine 10, and this says so and does nothing.
# Needs root (debootstrap, chroot, mounts) and Debian's package registry the first time.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 BUILD-FOLDER" >&2; exit 2; }
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "$1")
if [ "$("$top/tools/llvm-version.sh")" != 14 ]; then
  echo "wine10: this is not Debian 12; make test already ran under this release's Wine"
  exit 0
fi
[ "$(id -u)" -eq 0 ] || { echo "wine10: needs root (debootstrap, chroot, mounts)" >&2; exit 2; }
cache=${RAVELIN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/ravelin}
root=$cache/wine10-root
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
# What the tests and their scripts call, besides Wine: ctest, the signing of the agent and the test
# library, the kit's packing and the checks' own tools.
packages="wine wine64 cmake python3 openssl osslsigncode zip unzip binutils-mingw-w64-x86-64 bc"
stamp="trixie: $packages"

if [ ! -f "$root/.ravelin-root" ] || [ "$(cat "$root/.ravelin-root")" != "$stamp" ]; then
  command -v debootstrap >/dev/null || apt-get install -y -qq debootstrap >/dev/null
  echo "wine10: making the Debian 13 root with Wine 10 in $root (once)"
  rm -rf "$root"
  mkdir -p "$cache"
  debootstrap --variant=minbase trixie "$root" "$mirror" >"$cache/wine10-debootstrap.log" 2>&1 ||
    { tail -n 20 "$cache/wine10-debootstrap.log" >&2; echo "wine10: debootstrap failed" >&2; exit 2; }
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin bash -c \
    "apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $packages" \
    >"$cache/wine10-packages.log" 2>&1 ||
    { tail -n 20 "$cache/wine10-packages.log" >&2; echo "wine10: installing Wine 10 failed" >&2; exit 2; }
  echo "$stamp" >"$root/.ravelin-root"
fi

prefix=$build/wineprefix-wine10
mkdir -p "$prefix" "$build/wineprefix"
# In a mount namespace of its own: the mounts end with it, whatever happens inside.
unshare --mount --propagation private bash -s "$root" "$top" "$build" "$prefix" <<'INSIDE'
set -euo pipefail
root=$1 top=$2 build=$3 prefix=$4
mount -t proc proc "$root/proc"
mount -t sysfs sysfs "$root/sys"
mount --bind /dev "$root/dev"
mount -t devpts devpts "$root/dev/pts"
mount -t tmpfs tmpfs "$root/dev/shm"
mount -t tmpfs tmpfs "$root/tmp"
mkdir -p "$root$top"
mount --bind "$top" "$root$top"
[ "$build" = "$top/${build#"$top"/}" ] || { mkdir -p "$root$build"; mount --bind "$build" "$root$build"; }
# The build's own prefix is Wine 8's: Wine 10 gets one of its own at the same path.
mount --bind "$prefix" "$root$build/wineprefix"
chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 bash -c \
  "echo \"wine10: \$(wine --version), the tests of $build\" && cd '$top' && ctest --test-dir '$build' --output-on-failure -j $(nproc) \
     -E '^(release\\.|tools\\.|product\\.(file_system_access|executable_image|include_rules|integration_document)$)'"
INSIDE
