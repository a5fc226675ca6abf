#!/usr/bin/env bash
# Builds the Debian package and tries it as a packager and a new site would: lintian with every
# tag shown, the units' exposure and syntax, a real install (moving a logs.mdb an earlier
# version kept in /opt/quillmere), --init by a member of the group, a collection as the service
# user from /usr/bin without a display, reads by a member and refusals for a non-member, the
# daily check in its read-only sandbox, the nightly copy and its rotation, programs nobody but root can change, a site's
# dpkg-statoverride kept, and a purge with the timers enabled that leaves no link behind. It
# installs into this machine: run it as root on a machine without a quillmere package of its
# own (CI's is fresh).
set -euo pipefail
. "$(dirname "$0")/../../scripts/lib/readersim.sh"
build=$1
[ "$(id -u)" -eq 0 ] || { echo "the package test installs the package: run it as root"; exit 1; }
if dpkg-query -W -f='${Status}' quillmere 2>/dev/null | grep -q installed; then
  echo "quillmere is installed on this machine already; the test would replace it"
  exit 1
fi
scratch=$(mktemp -d)
cleanup() {
  stop_readersim
  dpkg-statoverride --remove "$data" 2>/dev/null || true
  dpkg --purge quillmere >/dev/null 2>&1 || true
  rm -rf "$scratch" /var/lib/quillmere /opt/quillmere
}
data=/var/lib/quillmere
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

(cd "$build" && cpack -G DEB -B "$scratch/pkg" >/dev/null)
deb=$(ls "$scratch"/pkg/quillmere_*.deb)
if dpkg-deb -c "$deb" | grep -q -e 'logs\.mdb' -e ' \./opt/'; then fail "the package carries a logs.mdb or /opt"; fi
[ "$(dpkg-deb -f "$deb" Recommends)" = sqlite3 ] || fail "Recommends: sqlite3 missing"

echo "== lintian --pedantic --display-info"
complaints=$(lintian --pedantic --display-info --allow-root "$deb" 2>&1 || true)
[ -z "$complaints" ] || fail "lintian: $complaints"

echo "== an earlier version's logs.mdb in /opt/quillmere, with changes still in its -wal"
mkdir -p /opt/quillmere "$scratch/wal"
sqlite3 "$scratch/wal/logs.mdb" "PRAGMA journal_mode=WAL;" < /dev/null >/dev/null
sqlite3 "$scratch/wal/logs.mdb" < "$(dirname "$0")/../../schema.sql"
printf '%s\n' "PRAGMA wal_autocheckpoint=0;" "INSERT INTO records VALUES ('2026-01-02 03:04:05', 7, '10.0.0.1', 1);" \
  ".shell cp $scratch/wal/logs.mdb $scratch/wal/logs.mdb-wal /opt/quillmere/" | sqlite3 "$scratch/wal/logs.mdb" >/dev/null
[ -s /opt/quillmere/logs.mdb-wal ] || fail "no -wal to move"

echo "== install"
dpkg -i "$deb" >/dev/null
[ ! -e /opt/quillmere ] || fail "/opt/quillmere is still there: $(ls -la /opt/quillmere)"
[ "$(sqlite3 "$data/logs.mdb" "SELECT CARDNO FROM records")" = 7 ] || fail "the earlier logs.mdb lost its record"
[ "$(stat -c '%U:%G %a' "$data")" = "quillmere:quillmere 2770" ] || fail "$data is $(stat -c '%U:%G %a' "$data")"
[ "$(stat -c '%U:%G %a' /etc/default/quillmere)" = "root:quillmere 640" ] || fail "/etc/default/quillmere is open"
[ "$(stat -c '%U:%G %a' "$data/backup")" = "quillmere:quillmere 2750" ] || fail "$data/backup is $(stat -c '%U:%G %a' "$data/backup")"
[ "$(systemctl is-enabled quillmere-backup.timer 2>/dev/null || true)" = disabled ] || fail "the back-up timer is on before a site enables it"

echo "== the units: syntax and exposure"
systemd-analyze verify --man=no /lib/systemd/system/quillmere*.service /lib/systemd/system/quillmere*.timer
for unit in quillmere.service quillmere-watch.service quillmere-check.service quillmere-backup.service; do
  score=$(systemd-analyze security --offline=yes "$unit" | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
  echo "$unit exposure $score"
  awk -v s="$score" 'BEGIN { exit !(s != "" && s <= 2.0) }' || fail "$unit is exposed: $score"
done
# The watch is a service a site enables as any other; its timer is gone, and the desktop starts
# the readers window.
grep -qx 'WantedBy=multi-user.target' /lib/systemd/system/quillmere-watch.service || fail "the watch has no [Install]"
[ ! -e /lib/systemd/system/quillmere-watch.timer ] || fail "a timer still starts the watch"
grep -qx 'Exec=/usr/bin/quillmere --jobs 8' /usr/share/applications/quillmere.desktop || fail "the desktop starts a plain run"
changeable=$(find /usr/bin/quillmere /usr/lib/quillmere /usr/lib/quillmere/readersim -maxdepth 0 \( -perm /022 -o ! -user root \) -print)
[ -z "$changeable" ] || fail "writable by others than root: $changeable"

service=$(id -u quillmere) group=$(getent group quillmere | cut -d: -f3)
# Numbers no account uses, so the test creates none: a member of the group, and someone else.
member=61001 stranger=61002
as_service() { setpriv --reuid="$service" --regid="$group" --groups="$group" "$@"; }
as_member() { setpriv --reuid="$member" --regid="$member" --groups="$group" "$@"; }
as_stranger() { setpriv --reuid="$stranger" --regid="$stranger" --clear-groups "$@"; }
if as_member sh -c 'mv /usr/bin/quillmere /usr/bin/q.moved || cp /bin/true /usr/lib/quillmere/x' 2>/dev/null; then
  fail "a member of the group changed a program"
fi

echo "== --init by a member under umask 0022; a collection by the service user"
rm -f "$data/logs.mdb"
(umask 0022 && as_member quillmere --init)
# A trial file outside the data folder is the group's too, whoever makes it.
for maker in as_member ""; do
  rm -f "$scratch/try.mdb"
  chmod 1777 "$scratch"
  (umask 0022 && $maker quillmere --init --database "$scratch/try.mdb") >/dev/null || fail "--init of a trial file${maker:+ by a member}"
  [ "$(stat -c '%G %a' "$scratch/try.mdb")" = "quillmere 660" ] || fail "the trial file is $(stat -c '%G %a' "$scratch/try.mdb")"
done
start_readersim /usr/lib/quillmere/readersim "$scratch/sim.out" --records 120
as_member sqlite3 "$data/logs.mdb" "INSERT INTO readers VALUES ('127.0.0.1', '$sim_port', 1, 1, 1);"
code=0
(umask 0007 && cd / && as_service env -i PATH=/usr/bin:/bin HOME=/nonexistent LANG=C.UTF-8 \
   timeout 120 quillmere 2> "$scratch/journal") || code=$?
cat "$scratch/journal"
[ "$code" -eq 0 ] || fail "the collection ended with $code"
if grep -qv '^<[0-7]>' "$scratch/journal"; then fail "a journal line without a priority"; fi
[ "$(as_member sqlite3 "$data/logs.mdb" "SELECT COUNT(*) FROM records;")" -eq 120 ] || fail "not 120 records"
if as_stranger sqlite3 "$data/logs.mdb" "SELECT COUNT(*) FROM records;" 2>/dev/null; then fail "a stranger read logs.mdb"; fi
code=0
as_stranger quillmere --check >/dev/null || code=$?
[ "$code" -eq 3 ] || fail "a stranger's --check ended $code, not UNKNOWN"
code=0
as_stranger quillmere 2> "$scratch/stranger" || code=$?
[ "$code" -eq 4 ] || fail "a stranger's run ended $code"
grep -q "^<3>$data/logs.mdb: the folder $data may not be read or written by this user (61002); members of the group quillmere may; no reader contacted" "$scratch/stranger" ||
  fail "a stranger was told: $(cat "$scratch/stranger")"
# A member's check, as a monitor in the group runs it, leaves nothing that could keep the service out.
as_member quillmere --check >/dev/null || true
[ ! -e "$data/logs.mdb-shm" ] && [ ! -e "$data/logs.mdb-wal" ] || fail "a member's check left $(ls "$data")"
if as_stranger cat /etc/default/quillmere >/dev/null 2>&1; then fail "a stranger read /etc/default/quillmere"; fi

echo "== the nightly copy under umask 0000, keeping 2"
for day in 01 02 03; do as_service sqlite3 "$data/backup/logs-2020-01-$day.mdb" "VACUUM;"; done
as_service touch "$data/backup/site-notes.txt"
(umask 0000 && cd / && as_service env -i PATH=/usr/bin:/bin QUILLMERE_BACKUP_KEEP=2 /usr/lib/quillmere/backup-daily) ||
  fail "the nightly copy failed"
copy="$data/backup/logs-$(date +%F).mdb"
[ "$(stat -c '%U:%G %a' "$copy")" = "quillmere:quillmere 640" ] || fail "the copy is $(stat -c '%U:%G %a' "$copy")"
[ "$(as_member sqlite3 "$copy" "PRAGMA integrity_check; SELECT COUNT(*) FROM records;" | tr '\n' ' ')" = "ok 120 " ] ||
  fail "the copy does not hold the 120 records"
[ "$(ls "$data/backup" | tr '\n' ' ')" = "logs-2020-01-03.mdb $(basename "$copy") site-notes.txt " ] ||
  fail "the rotation left $(ls "$data/backup")"
if as_stranger cat "$copy" >/dev/null 2>&1; then fail "a stranger read the copy"; fi
code=0
as_service env QUILLMERE_BACKUP_KEEP=0 /usr/lib/quillmere/backup-daily 2>/dev/null || code=$?
[ "$code" -eq 2 ] || fail "a keep of 0 ended $code"

echo "== the daily check as its unit sees the data: read-only"
[ ! -e "$data/logs.mdb-shm" ] || fail "the run left logs.mdb-shm"
unshare --mount sh -c "mount --bind $data $data && mount -o remount,bind,ro $data &&
  setpriv --reuid=$service --regid=$group --groups=$group quillmere --check 24" > "$scratch/check" || true
cat "$scratch/check"
head -1 "$scratch/check" | grep -q '^QUILLMERE OK - 1 of 1 readers ok' || fail "the check in its sandbox"

echo "== a site's dpkg-statoverride outlives a reinstall"
dpkg-statoverride --update --add quillmere quillmere 2750 "$data"
dpkg -i "$deb" >/dev/null
mode=$(stat -c '%a' "$data")
dpkg-statoverride --remove "$data"
[ "$mode" = 2750 ] || fail "the reinstall made $data $mode over the site's override"

echo "== purge with the timers enabled"
systemctl enable quillmere.timer quillmere-check.timer quillmere-watch.service 2>/dev/null
[ -L /etc/systemd/system/timers.target.wants/quillmere.timer ] || fail "the timer was not enabled"
[ -L /etc/systemd/system/multi-user.target.wants/quillmere-watch.service ] || fail "the watch was not enabled"
dpkg --purge quillmere >/dev/null
left=$(find /etc/systemd/system -name 'quillmere*' || true)
[ -z "$left" ] || fail "a purge left $left"
[ -f "$data/logs.mdb" ] || fail "a purge removed the site's logs.mdb"
echo "package test passed"
