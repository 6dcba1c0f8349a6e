#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
set -euo pipefail

PACKAGES=(
  build-essential g++ cmake ninja-build pkg-config
  libusb-1.0-0-dev libhidapi-dev libczmq-dev libcurl4-openssl-dev zlib1g-dev
  libgtest-dev libgmock-dev
  iproute2 python3 openssl
  imx-usb-loader  # imx_uart, independent peer loader for the SDP stand-in's tests
  lpc21isp  # independent peer programmer for the LPC ISP stand-in's tests
)
[ "${KV_EXTRA_PACKAGES:-}" ] && read -r -a extra <<<"$KV_EXTRA_PACKAGES" && PACKAGES+=("${extra[@]}")

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "deps.sh: need root or sudo to install: ${missing[*]}" >&2; exit 1; }
  SUDO=sudo
fi
echo "deps.sh: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
