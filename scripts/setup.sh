#!/usr/bin/env bash
# Installs what building and testing need, on Debian 12 as root. Asks apt only for what is missing.
set -euo pipefail

# nginx with its RTMP module and the GStreamer RTSP server are the real sources of the pull tests.
# VLC plays the channel list; xmllint and the XMLTV DTD judge the programme guide. dpkg-dev, adduser
# and systemd (systemd-analyze) build, install and check the Debian package.
packages=(cmake g++ ninja-build libgtest-dev ffmpeg curl iproute2 util-linux clang chromium chromium-driver python3-selenium
          nginx-light libnginx-mod-rtmp python3-gi gir1.2-gst-rtsp-server-1.0
          gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-tools vlc-bin vlc-plugin-base
          libxml2-utils libxmltv-perl dpkg-dev adduser systemd)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The admin pages' browser libraries (hls.js for the player, uPlot for the charts), from the npm
# registry at the versions web/package-lock.json pins, copied into the served admin folder.
if ! command -v npm >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends npm
fi
top=$(cd "$(dirname "$0")/.." && pwd)
vendor="$top/demo/admin/vendor"
# The packages' install scripts are not run: only their built files are copied.
if [ ! -f "$vendor/hls.min.js" ] || [ ! -f "$vendor/uPlot.iife.min.js" ] || [ ! -f "$vendor/uPlot.min.css" ] ||
   [ "$top/web/package-lock.json" -nt "$vendor/hls.min.js" ]; then
  (cd "$top/web" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error >/dev/null)
  mkdir -p "$vendor"
  cp "$top/web/node_modules/hls.js/dist/hls.min.js" "$top/web/node_modules/uplot/dist/uPlot.iife.min.js" \
     "$top/web/node_modules/uplot/dist/uPlot.min.css" "$vendor/"
fi
