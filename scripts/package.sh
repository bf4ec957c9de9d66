#!/usr/bin/env bash
# Builds the Debian package quorvane_<version>_amd64.deb and prints its path. With a build folder
# as argument (one already built: src/quorvane and src/cgi_quorvane in it) it packages those
# programs; without one it builds the release tree first. The package is written into the build
# folder. The admin pages' browser libraries must be in demo/admin/vendor (scripts/setup.sh).
set -euo pipefail
umask 022
top=$(cd "$(dirname "$0")/.." && pwd)
folder=${1:-}
[ -n "$folder" ] || folder=$(bash "$top/scripts/build.sh" release)
folder=$(cd "$folder" && pwd)

fail() { echo "package: $*" >&2; exit 1; }
for program in quorvane cgi_quorvane; do
  [ -x "$folder/src/$program" ] || fail "$folder/src/$program is missing: build first (bash scripts/build.sh release)"
done
for file in hls.min.js uPlot.iife.min.js uPlot.min.css; do
  [ -f "$top/demo/admin/vendor/$file" ] || fail "demo/admin/vendor/$file is missing: run bash scripts/setup.sh first"
done
version=$(sed -n 's/^project(quorvane VERSION \([0-9][0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
[ -n "$version" ] || fail "no project(quorvane VERSION ...) in CMakeLists.txt"

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
root="$stage/quorvane"
# The package's files lie outside /var/lib/quorvane, which the service account owns: dpkg (root)
# must never write or delete in a folder that account can change. postinst links admin and
# cgi-bin of the working directory to them.
pages="$root/usr/share/quorvane/admin"
cgi="$root/usr/lib/quorvane/cgi-bin/cgi_quorvane"
install -d "$root/DEBIAN" "$root/usr/sbin" "$root/lib/systemd/system" "$root/usr/share/quorvane/defaults" \
  "$root/usr/share/doc/quorvane" "$(dirname "$cgi")"
install -m 0755 -s "$folder/src/quorvane" "$root/usr/sbin/quorvane"
install -m 0755 -s "$folder/src/cgi_quorvane" "$cgi"
install -m 0644 "$top/packaging/quorvane.service" "$root/lib/systemd/system/quorvane.service"
install -m 0644 "$top"/packaging/defaults/* "$root/usr/share/quorvane/defaults/"
install -m 0644 "$top/README.md" "$root/usr/share/doc/quorvane/README.md"
# The admin pages belong to the package and are replaced on upgrade.
cp -r "$top/demo/admin" "$pages"
find "$pages" -name '.*' -delete
find "$pages" -type d -exec chmod 0755 {} +
find "$pages" -type f -exec chmod 0644 {} +

# The libraries the two programs need, as dependencies; a fixed list where dpkg-dev is missing.
shlibs=
if command -v dpkg-shlibdeps >/dev/null; then
  mkdir -p "$stage/debian"
  printf 'Source: quorvane\n\nPackage: quorvane\nArchitecture: amd64\n' >"$stage/debian/control"
  shlibs=$(cd "$stage" && dpkg-shlibdeps -O -e"$root/usr/sbin/quorvane" -e"$cgi" 2>/dev/null |
           sed -n 's/^shlibs:Depends=//p') || shlibs=
fi
[ -n "$shlibs" ] || shlibs="libc6, libgcc-s1, libstdc++6"
size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@SIZE@/$size/" -e "s/@SHLIBS@/$shlibs/" \
  "$top/packaging/debian/control.in" >"$root/DEBIAN/control"
install -m 0755 "$top/packaging/debian/postinst" "$top/packaging/debian/prerm" "$top/packaging/debian/postrm" "$root/DEBIAN/"

deb="$folder/quorvane_${version}_amd64.deb"
dpkg-deb --build --root-owner-group "$root" "$deb" >/dev/null
echo "$deb"
