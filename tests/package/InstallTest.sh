#!/usr/bin/env bash
# Installs a build into a temporary DESTDIR and checks the layout, the desktop
# entry and the AppStream metadata with their validators.
#   InstallTest.sh <build folder> <install prefix> <application id>
set -euo pipefail
build=$1 prefix=$2 id=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR=$work/root cmake --install "$build" >/dev/null
root=$work/root$prefix

expected=(
    bin/quilvane
    share/applications/$id.desktop
    share/metainfo/$id.metainfo.xml
)
for size in 16 32 48 128 256; do
    expected+=("share/icons/hicolor/${size}x$size/apps/$id.png")
done
for file in "${expected[@]}"; do
    [ -f "$root/$file" ] || fail "$file is not installed"
done
actual=$(cd "$root" && find . -type f | sed 's|^\./||' | sort)
wanted=$(printf '%s\n' "${expected[@]}" | sort)
[ "$actual" = "$wanted" ] || fail "installed files differ:"$'\n'"$(diff <(echo "$wanted") <(echo "$actual"))"
[ -x "$root/bin/quilvane" ] || fail "bin/quilvane is not executable"

for size in 16 32 48 128 256; do
    png=$root/share/icons/hicolor/${size}x$size/apps/$id.png
    file -b "$png" | grep -q "PNG image data, $size x $size" || fail "$png: $(file -b "$png")"
done

desktop=$root/share/applications/$id.desktop
desktop-file-validate "$desktop" || fail "desktop-file-validate rejects $desktop"
for line in "Name=Quilvane" "Exec=quilvane %U" "Icon=$id" "Categories=Network;FileTransfer;"; do
    grep -qx "$line" "$desktop" || fail "$desktop lacks $line"
done

appstreamcli validate --no-net "$root/share/metainfo/$id.metainfo.xml" ||
    fail "appstreamcli rejects the metadata"
echo "install layout and validators: ok"
