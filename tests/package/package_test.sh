#!/usr/bin/env bash
# Builds the Debian package, unpacks it into a scratch root, and runs the installed program
# once, without a display, against readersim with a logs.mdb in the install directory.
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
            lib/systemd/system/quillmere.service lib/systemd/system/quillmere.timer; do
  [ -e "$root/fs/$file" ] || { echo "missing $file"; exit 1; }
done
if dpkg-deb -c "$deb" | grep -q 'logs\.mdb'; then echo "the package must not carry a logs.mdb"; exit 1; fi

app="$root/fs/opt/quillmere"
sqlite3 "$app/logs.mdb" < "$app/schema.sql"
start_readersim "$app/readersim" "$root/sim.out" --records 120
sqlite3 "$app/logs.mdb" "INSERT INTO readers VALUES ('127.0.0.1', '$sim_port', 1, 1, 1);"

# Through the link on the PATH, with no display and nothing set for Qt.
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM timeout 120 "$root/fs/usr/bin/quillmere"
stored=$(sqlite3 "$app/logs.mdb" "SELECT COUNT(*) FROM records;")
echo "stored $stored records"
[ "$stored" -eq 120 ]
