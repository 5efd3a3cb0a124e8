#!/usr/bin/env bash
# Installs the Debian packages the build, the program and the tests need, if any are missing.
# Non-interactive; waits for the dpkg lock instead of failing on it.
set -euo pipefail

packages=(
    cmake g++ make pkg-config
    libgtest-dev libgmock-dev
    qt6-base-dev qt6-translations-l10n libqt6svg6 libxkbcommon-dev
    samba smbclient libsmbclient-dev samba-dev
)
case "${1:-}" in
    --screenshots) packages+=(xvfb x11-apps imagemagick trayer xdotool fonts-dejavu-core) ;;
    --fuzz) packages+=(clang-14 libclang-rt-14-dev) ;;
esac

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]} == 0)); then
    exit 0
fi

sudo=()
if [[ $(id -u) -ne 0 ]]; then
    sudo=(sudo)
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 update -qq
"${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
