#!/bin/sh
# Installs the Debian 12 packages the project needs, only those missing,
# so that `make run` and `make test` work on a fresh machine.
set -e
PACKAGES="build-essential cmake pkg-config
qt6-base-dev qt6-base-dev-tools libqcustomplot-dev libfftw3-dev
libcxx-serial-dev libftdi1-dev libgtest-dev libgmock-dev libbenchmark-dev
python3-neo xvfb xauth
pybind11-dev python3-dev python3-numpy python3-pytest"

missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

echo "Installing:$missing"
if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing
