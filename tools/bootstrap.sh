#!/usr/bin/env bash
# Installs on a Debian 12 or 13 machine whatever the build and the tests need and the machine
# lacks, with each release's own packages (its clang, lld and clang-tidy: tools/llvm-version.sh).
# On a machine that has everything it changes nothing and installs nothing.
set -euo pipefail
llvm=$("$(dirname "$0")/llvm-version.sh")

# package:file that proves the package is present
required=(
  "g++-mingw-w64-x86-64-posix:/usr/bin/x86_64-w64-mingw32-g++-posix"
  "binutils-mingw-w64-x86-64:/usr/bin/x86_64-w64-mingw32-windres"
  "wine64:/usr/lib/wine/wine64"
  "wine:/usr/bin/wine"
  "libfmt-dev:/usr/include/fmt/format.h"
  "googletest:/usr/src/googletest/CMakeLists.txt"
  "cmake:/usr/bin/cmake"
  "make:/usr/bin/make"
  "clang-format:/usr/bin/clang-format"
  "openssl:/usr/bin/openssl"
  "osslsigncode:/usr/bin/osslsigncode"
  "zip:/usr/bin/zip"
  "unzip:/usr/bin/unzip"
  "ccache:/usr/bin/ccache"
  "python3:/usr/bin/python3"
  "clang-$llvm:/usr/bin/clang++-$llvm"
  "lld-$llvm:/usr/lib/llvm-$llvm/bin/ld.lld"
  "clang-tidy-$llvm:/usr/bin/clang-tidy-$llvm"
  "softhsm2:/usr/bin/softhsm2-util"
  "opensc:/usr/bin/pkcs11-tool"
  "libengine-pkcs11-openssl:/usr/lib/x86_64-linux-gnu/engines-3/pkcs11.so"
  "node-spdx-license-ids:/usr/share/nodejs/spdx-license-ids/index.json"
  "node-spdx-exceptions:/usr/share/nodejs/spdx-exceptions/index.json"
)

missing=()
for entry in "${required[@]}"; do
  package=${entry%%:*}
  file=${entry#*:}
  [ -e "$file" ] || missing+=("$package")
done

[ ${#missing[@]} -eq 0 ] && exit 0

echo "bootstrap: installing ${missing[*]}"
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "bootstrap: need root or sudo to install ${missing[*]}" >&2; exit 1; }
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
