#!/usr/bin/env bash
# Builds the Debian package from a built tree, installs it, runs the server as its unit says
# (user, working directory, capability) inside a private network namespace, upgrades it over the
# operator's files, purges it keeping the data, and finally purges everything.
# Usage: package_test.sh <build folder>. Needs root; exits 77 (skipped) when a quorvane package,
# account or data folder already exists here, which it must not touch.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$1
home=/var/lib/quorvane
unit=/lib/systemd/system/quorvane.service

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }
package_state() { dpkg-query -W -f='${db:Status-Status}' quorvane 2>/dev/null || true; }
known() { [ -n "$(package_state)" ] && [ "$(package_state)" != not-installed ]; }
setting() { sed -n "s/^$1=//p" "$unit"; }

[ "$(id -u)" = 0 ] || skip "installing a package needs root"
known && skip "a quorvane package is on this machine ($(package_state)): it is left alone"
[ -e "$home" ] && skip "$home exists: it is left alone"
getent passwd quorvane >/dev/null && skip "the account quorvane exists: it is left alone"
getent group quorvane >/dev/null && skip "the group quorvane exists: it is left alone"

work=$(mktemp -d)
cleanup() {
  if known; then QUORVANE_PURGE_DATA=1 dpkg --purge quorvane >/dev/null 2>&1 || true; fi
  rm -rf "$home" "$work"
  if getent passwd quorvane >/dev/null; then deluser --system --quiet quorvane >/dev/null 2>&1 || true; fi
  if getent group quorvane >/dev/null; then delgroup --system --quiet quorvane >/dev/null 2>&1 || true; fi
}
trap cleanup EXIT

deb=$(bash "$top/scripts/package.sh" "$build")
contents=$(dpkg-deb --contents "$deb")
for path in ./usr/sbin/quorvane ./lib/systemd/system/quorvane.service ./usr/share/quorvane/admin/index.htm \
            ./usr/share/quorvane/admin/vendor/hls.min.js ./usr/lib/quorvane/cgi-bin/cgi_quorvane; do
  grep -q " $path\$" <<<"$contents" || fail "the package lacks $path"
done
# dpkg (root) must not write or delete inside the folder the service account owns.
grep -q " ./var/lib/quorvane/." <<<"$contents" && fail "the package owns files inside $home"

dpkg -i "$deb" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "dpkg -i failed"; }
verify=$(systemd-analyze verify "$unit" 2>&1) || fail "systemd-analyze verify: $verify"
[ -z "$verify" ] || fail "systemd-analyze verify: $verify"
dpkg -L quorvane | grep "^$home/" && fail "dpkg lists package files inside $home"
[ "$(stat -c '%U %G %a' "$home")" = "quorvane quorvane 750" ] || fail "$home is $(stat -c '%U %G %a' "$home")"
for link in admin cgi-bin; do
  [ -L "$home/$link" ] && [ "$(stat -c %U "$home/$link")" = root ] || fail "$home/$link is not root's link"
done
[ "$(setting UMask)" = 0027 ] || fail "the unit lets the server create files others can read"
systemctl is-enabled --quiet quorvane.service 2>/dev/null || fail "the install did not enable the service"

# postinst made the admin account root with a password only root can read.
[ "$(stat -c '%U %a' "$home/root_password")" = "root 600" ] || fail "root_password is not root's alone"
password=$(cat "$home/root_password")
[ "${#password}" -ge 12 ] || fail "a short root password: $password"
grep -q "^root,$password," "$home/user_profile.csv" || fail "user_profile.csv has no root line with that password"

# The server as the unit starts it, in a namespace of its own (the default ports may be taken here).
capability=$(setting AmbientCapabilities | tr 'A-Z' 'a-z'); capability=${capability#cap_}
[ -n "$capability" ] || fail "the unit grants no capability: port 554 cannot be opened"
timeout 90 unshare -n bash -s -- "$(setting User)" "$(setting Group)" "$(setting WorkingDirectory)" \
  "$(setting ExecStart)" "$capability" "$password" "$work" <<'SCRIPT' || fail "the namespace run failed"
set -u
user=$1 group=$2 folder=$3 program=$4 capability=$5 password=$6 work=$7
alive() { local state; state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null); [ -n "$state" ] && [ "$state" != Z ]; }
ip link set lo up
cd "$folder"
setpriv --reuid="$user" --regid="$group" --init-groups --no-new-privs --inh-caps=+"$capability" \
  --ambient-caps=+"$capability" $program >"$work/server.out" 2>"$work/server.err" &
pid=$!
deadline=$((SECONDS + 30))
until curl -fsS --max-time 2 -o "$work/index.htm" http://127.0.0.1:8000/admin/index.htm 2>/dev/null; do
  [ "$SECONDS" -lt "$deadline" ] && alive "$pid" || break
  sleep 0.2
done
curl -fsS --max-time 10 -o "$work/login.txt" "http://127.0.0.1:8000/cgi-bin/cgi_quorvane?user_id=root&password=$password" || true
kill -TERM "$pid"
deadline=$((SECONDS + 20))
while alive "$pid" && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.1; done
alive "$pid" && kill -KILL "$pid" && echo "did not stop on SIGTERM" >>"$work/server.err"
wait "$pid"
echo $? >"$work/exit_code"
SCRIPT
report() { echo "--- server output:"; cat "$work/server.out" "$work/server.err"; fail "$*"; }
cmp -s "$work/index.htm" "$home/admin/index.htm" || report "/admin/index.htm was not served"
grep -q "Quorvane is running" "$work/server.err" || report "a service did not start (ports 8000, 554, 2000, 6001)"
grep -qE "^[0-9]{18}" "$work/login.txt" || report "the admin program did not log root in: $(cat "$work/login.txt" 2>/dev/null)"
[ "$(cat "$work/exit_code")" = 0 ] || report "the server exited with $(cat "$work/exit_code") on SIGTERM"
grep -q "Quorvane OUT" "$work/server.err" || report "the server did not shut down in order"
[ "$(stat -c %U "$home/system.log")" = quorvane ] || fail "system.log was not written by quorvane"

# An upgrade keeps the operator's files and replaces the package's.
printf 'marker,kept,12/31/2099,free,0\r\n' >>"$home/user_profile.csv"
sed -i 's/^httpport=8000/httpport=8080/' "$home/quorvane_config.txt"
echo changed >/usr/share/quorvane/admin/index.htm
systemctl disable quorvane.service >/dev/null 2>&1 || true
dpkg -i "$deb" >"$work/upgrade.log" 2>&1 || { cat "$work/upgrade.log"; fail "the upgrade failed"; }
! systemctl is-enabled --quiet quorvane.service 2>/dev/null || fail "the upgrade enabled the service the operator disabled"
grep -q "^marker,kept," "$home/user_profile.csv" || fail "the upgrade lost the user file"
grep -q "^root,$password," "$home/user_profile.csv" || fail "the upgrade changed root's password"
[ "$(cat "$home/root_password")" = "$password" ] || fail "the upgrade rewrote root_password"
grep -q "^httpport=8080" "$home/quorvane_config.txt" || fail "the upgrade lost the configuration"
cmp -s /usr/share/quorvane/admin/index.htm "$work/index.htm" || fail "the upgrade did not replace the admin pages"

# Purging removes the programs and keeps the data and its owner.
dpkg --purge quorvane >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "dpkg --purge failed"; }
[ ! -e /usr/sbin/quorvane ] && [ ! -e "$unit" ] && [ ! -e /usr/lib/quorvane ] && [ ! -e /usr/share/quorvane ] ||
  fail "purge left the programs"
grep -q "^marker,kept," "$home/user_profile.csv" || fail "purge removed the data"
getent passwd quorvane >/dev/null || fail "purge removed the account that owns the kept data"

# Installing again over the kept data, then purging with the data.
dpkg -i "$deb" >"$work/reinstall.log" 2>&1 || { cat "$work/reinstall.log"; fail "installing over kept data failed"; }
grep -q "^marker,kept," "$home/user_profile.csv" || fail "installing over kept data lost the user file"
QUORVANE_PURGE_DATA=1 dpkg --purge quorvane >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "purge with data failed"; }
[ ! -e "$home" ] || fail "QUORVANE_PURGE_DATA=1 kept $home"
getent passwd quorvane >/dev/null && fail "QUORVANE_PURGE_DATA=1 kept the account"
getent group quorvane >/dev/null && fail "QUORVANE_PURGE_DATA=1 kept the group"
echo "package: built, installed, served, upgraded and purged"
