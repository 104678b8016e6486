#!/usr/bin/env bash
# Installs what building and testing NeltStore needs on Debian 12.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config clang
  libgtest-dev googletest
  qtbase5-dev libqt5svg5-dev qttranslations5-l10n
  rapidjson-dev libcurl4-openssl-dev libzip-dev libcpp-httplib-dev libssl-dev zlib1g-dev
  squashfs-tools zip unzip openssl curl
  fonts-dejavu-core fonts-noto-core
  xvfb dbus-daemon
  dpkg-dev lintian desktop-file-utils man-db libxml2-utils bash-completion file python3
  debootstrap systemd-container
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
