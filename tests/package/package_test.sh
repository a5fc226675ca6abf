#!/usr/bin/env bash
# Builds the Debian package, checks it as Debian's own checker does, unpacks it into a scratch
# root, and runs the installed program once, without a display, against readersim with a
# logs.mdb in the install directory: as the service user, with the folder set up the way the
# package's postinst sets it up, then reads the results as another member of the group.
set -euo pipefail
. "$(dirname "$0")/../../scripts/lib/readersim.sh"
build=$1
root=$(mktemp -d)
trap 'stop_readersim; rm -rf "$root"' EXIT

(cd "$build" && cpack -G DEB -B "$root/pkg" >/dev/null)
deb=$(ls "$root"/pkg/quillmere_*.deb)
dpkg-deb -x "$deb" "$root/fs"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for needed in libqt6widgets6 libqt6sql6 libqt6sql6-sqlite qt6-qpa-plugins; do
  grep -q "$needed" <<<"$depends" || { echo "missing dependency $needed"; exit 1; }
done
for file in opt/quillmere/quillmere opt/quillmere/readersim opt/quillmere/schema.sql usr/bin/quillmere \
            usr/share/applications/quillmere.desktop usr/share/icons/hicolor/scalable/apps/quillmere.svg \
            lib/systemd/system/quillmere.service lib/systemd/system/quillmere.timer \
            lib/systemd/system/quillmere-check.service lib/systemd/system/quillmere-check.timer \
            usr/share/man/man1/quillmere.1.gz; do
  [ -e "$root/fs/$file" ] || [ -L "$root/fs/$file" ] || { echo "missing $file"; exit 1; }
done
if dpkg-deb -c "$deb" | grep -q 'logs\.mdb'; then echo "the package must not carry a logs.mdb"; exit 1; fi

# /opt is the design's choice: the program keeps logs.mdb beside itself.
complaints=$(lintian --allow-root "$deb" 2>&1 | grep -v 'dir-or-file-in-opt' || true)
[ -z "$complaints" ] || { echo "lintian: $complaints"; exit 1; }

unit="$root/fs/lib/systemd/system/quillmere.service"
for setting in User=quillmere Group=quillmere UMask=0002 NoNewPrivileges=yes ProtectSystem=strict \
               ReadWritePaths=/opt/quillmere ProtectHome=yes PrivateTmp=yes \
               "RestrictAddressFamilies=AF_INET AF_UNIX" EnvironmentFile=-/etc/default/quillmere; do
  grep -qxF "$setting" "$unit" || { echo "quillmere.service lacks $setting"; exit 1; }
done
dpkg-deb -e "$deb" "$root/control"
sh -n "$root/control/postinst"
grep -q 'chmod 2775 /opt/quillmere' "$root/control/postinst"

app="$root/fs/opt/quillmere"
sqlite3 "$app/logs.mdb" < "$app/schema.sql"
start_readersim "$app/readersim" "$root/sim.out" --records 120
sqlite3 "$app/logs.mdb" "INSERT INTO readers VALUES ('127.0.0.1', '$sim_port', 1, 1, 1);"

# Numbers no account on this machine uses, so the test creates none: the service user and
# group, and another member of that group.
service_uid=61000 group_id=61000 member_uid=61001
chmod 755 "$root" "$root/fs"
chgrp "$group_id" "$app" "$app/logs.mdb"
chmod 2775 "$app"
chmod 664 "$app/logs.mdb"

# The link on the PATH names the installed program; here it is run from the scratch root, with
# no display and nothing set for Qt, as the service runs it.
[ "$(readlink "$root/fs/usr/bin/quillmere")" = /opt/quillmere/quillmere ]
(umask 0002 && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM HOME=/nonexistent \
   setpriv --reuid="$service_uid" --regid="$group_id" --groups="$group_id" timeout 120 "$app/quillmere")
stored=$(setpriv --reuid="$member_uid" --regid="$group_id" --groups="$group_id" \
           sqlite3 "$app/logs.mdb" "SELECT COUNT(*) FROM records;")
echo "stored $stored records, read by another member of the group"
[ "$stored" -eq 120 ]
# The health check, as quillmere-check.service runs it, sees the run that just ended.
setpriv --reuid="$service_uid" --regid="$group_id" --groups="$group_id" "$app/quillmere" --check 24
