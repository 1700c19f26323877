#!/bin/sh
# Puts every Debian package the project needs on a Debian 12 machine.
# Idempotent: when everything is present it only checks and exits.
# zsh: the tests load velorctl's zsh completion; lintian: scripts/package-check.sh.
set -eu

PACKAGES="build-essential cmake ninja-build pkg-config git clang-format \
  libssl-dev openssl \
  libgtest-dev libgmock-dev libbenchmark-dev \
  libcli11-dev nlohmann-json3-dev libserialport-dev \
  srecord python3 clang-14 libclang-rt-14-dev ansible-core \
  qt6-base-dev qt6-base-dev-tools libgl-dev fonts-dejavu-core \
  zsh lintian xvfb xauth x11-utils"

missing=""
for p in $PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done

[ -z "$missing" ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "installing:$missing"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
