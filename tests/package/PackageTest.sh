#!/usr/bin/env bash
# Builds the Debian package of a build, checks its control fields and file
# list, unpacks it into a temporary root and starts the unpacked program
# offscreen until it has created its list.
#   PackageTest.sh <build folder> <install prefix> <application id>
set -euo pipefail
build=$1 prefix=$2 id=$3
work=$(mktemp -d)
pid=
cleanup() {
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# What the package target runs, with its output kept out of the build folder.
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack failed"; }
arch=$(dpkg --print-architecture)
debs=("$work/out"/quilvane_*_"$arch".deb)
[ -f "${debs[0]}" ] || fail "no quilvane_<version>_$arch.deb in $(ls "$work/out")"
deb=${debs[0]}

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = quilvane ] || fail "Package is $(field Package)"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is $(field Architecture)"
[ "$(basename "$deb")" = "quilvane_$(field Version)_$arch.deb" ] || fail "file name $(basename "$deb")"
depends=$(field Depends)
for library in libqt6widgets6 libxml2 libssl3 ca-certificates; do
    grep -Eq "(^|, )$library( |,|$)" <<<"$depends" || fail "Depends lacks $library: $depends"
done
grep -Eq "(^|, )fonts-wine( |,|$)" <<<"$(field Recommends)" ||
    fail "Recommends lacks fonts-wine: $(field Recommends)"
[ -n "$(field Maintainer)" ] && [ -n "$(field Description)" ] || fail "no Maintainer or Description"

listing=$(dpkg-deb -c "$deb" | awk '{print $NF}' | grep -v '/$' | sed 's|^\./||' | sort)
wanted=$(
    {
        echo "${prefix#/}/bin/quilvane"
        echo "${prefix#/}/share/applications/$id.desktop"
        echo "${prefix#/}/share/metainfo/$id.metainfo.xml"
        for size in 16 32 48 128 256; do
            echo "${prefix#/}/share/icons/hicolor/${size}x$size/apps/$id.png"
        done
    } | sort
)
[ "$listing" = "$wanted" ] || fail "package files differ:"$'\n'"$(diff <(echo "$wanted") <(echo "$listing"))"
dpkg-deb -c "$deb" | awk '{print $2}' | grep -qv '^root/root$' && fail "files not owned by root"

dpkg-deb -x "$deb" "$work/root"
bin=$work/root$prefix/bin
# Outside the configured bin folder the program keeps its list beside itself;
# nothing may reach the real home folder.
mkdir -p "$work/home"
HOME=$work/home XDG_DATA_HOME=$work/home/data XDG_RUNTIME_DIR=$work/home \
    QT_QPA_PLATFORM=offscreen "$bin/quilvane" >"$work/run.log" 2>&1 &
pid=$!
for _ in $(seq 1 200); do
    [ -s "$bin/List.xml" ] && break
    kill -0 "$pid" 2>/dev/null || { cat "$work/run.log"; fail "the unpacked program ended"; }
    sleep 0.1
done
[ -s "$bin/List.xml" ] || { cat "$work/run.log"; fail "no List.xml beside the unpacked program"; }
sleep 0.5
kill -0 "$pid" 2>/dev/null || { cat "$work/run.log"; fail "the unpacked program ended after start"; }
[ "$(stat -c %a "$bin/List.xml")" = 600 ] || fail "List.xml mode $(stat -c %a "$bin/List.xml")"
grep -q '<MAIN' "$bin/List.xml" || fail "List.xml: $(cat "$bin/List.xml")"
[ -z "$(ls -A "$work/home/data" 2>/dev/null)" ] || fail "the program wrote to the data folder"
echo "package $(basename "$deb"): ok"
