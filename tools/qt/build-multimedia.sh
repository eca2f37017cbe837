#!/usr/bin/env bash
# Builds Qt Multimedia's library and its FFmpeg media plug-in from Debian's
# source of the Qt Multimedia installed here, with the patches beside this
# script, and installs just those two where the programs take them before
# Qt's own: DEST/lib (the programs' run path) and DEST/qt6/plugins. Run as
# root inside the environment while tools/inroot makes it; the packages only
# the build needed are removed again.
#
#   build-plugin.sh [DEST]     default /usr/local/lib/orchidlantern
#
# Built from the same source, Qt and FFmpeg, with Debian's features, the
# library exports all that Debian's does.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
dest=${1:-/usr/local/lib/orchidlantern}
jobs=${OL_JOBS:-4}

say() { echo "build-multimedia: $*" >&2; }

# What the plug-in's build needs beyond the environment's own packages.
build_deps=(dpkg-dev qt6-base-private-dev qt6-declarative-dev qt6-declarative-private-dev qt6-shadertools-dev libpulse-dev
    libavcodec-dev libavformat-dev libavutil-dev libswresample-dev libswscale-dev libxext-dev libxrandr-dev
    libpipewire-0.3-dev)

version=$(dpkg-query -W -f='${Version}' libqt6multimedia6)
work=$(mktemp -d /tmp/ol-qt-XXXXXX)
sources=/etc/apt/sources.list.d/ol-qt-source.list
trap 'rm -rf "$work" "$sources"' EXIT

# The source of the suites the binaries came from.
grep -hs '^deb ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list | sed 's/^deb /deb-src /' >"$sources" || true
for list in /etc/apt/sources.list.d/*.sources; do
    [ -e "$list" ] || continue
    sed 's/^Types:.*/Types: deb-src/' "$list" >"/etc/apt/sources.list.d/ol-qt-source-${list##*/}"
    trap 'rm -rf "$work" "$sources" /etc/apt/sources.list.d/ol-qt-source-*' EXIT
done
apt-get update -qq >&2

dpkg-query -W -f='${Package}\n' | sort >"$work/before"
say "installing what the build needs"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${build_deps[@]}" >&2
dpkg-query -W -f='${Package}\n' | sort >"$work/after"

say "fetching the source of qt6-multimedia $version"
(cd "$work" && apt-get source -qq --only-source "qt6-multimedia=$version" >&2)
srcdir=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'qt6-multimedia-*' | head -n 1)
[ -n "$srcdir" ] || { say "no source tree was unpacked"; exit 1; }
for patch in "$here"/*.patch; do
    say "applying ${patch##*/}"
    patch -d "$srcdir" -p1 --batch --forward <"$patch" >&2
done

# As little as the plug-in needs: no
# GStreamer, examples, tests or docs. No build path is kept in the result.
say "building the library and the plug-in with $jobs jobs"
cmake -S "$srcdir" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DFEATURE_gstreamer=OFF -DFEATURE_spatialaudio=OFF \
    -DFEATURE_spatialaudio_quick3d=OFF -DCMAKE_SKIP_BUILD_RPATH=ON >"$work/configure.log" 2>&1 ||
    { tail -n 40 "$work/configure.log" >&2; exit 1; }
cmake --build "$work/build" -j "$jobs" --target Multimedia QFFmpegMediaPlugin >"$work/build.log" 2>&1 ||
    { tail -n 40 "$work/build.log" >&2; exit 1; }
plugin=$(find "$work/build" -name libffmpegmediaplugin.so -type f | head -n 1)
library=$(find "$work/build" -name 'libQt6Multimedia.so.6.*' -type f | head -n 1)
[ -n "$plugin" ] && [ -n "$library" ] || { say "the build made no library or no plug-in"; exit 1; }

# What the programs take from Debian's library, this one must have; and
# the plug-in must find all it needs.
exports() { nm -D --defined-only --with-symbol-versions "$1" | awk '{ print $NF }' | sort -u; }
system=$(find /usr/lib -name libQt6Multimedia.so.6 | head -n 1)
missing=$(comm -23 <(exports "$system") <(exports "$library"))
if [ -n "$missing" ]; then
    head -n 5 <<<"$missing" >&2
    say "the library lacks what Debian's exports; nothing is installed"
    exit 1
fi
if LD_LIBRARY_PATH=${library%/*} ldd -r "$plugin" 2>&1 | grep 'undefined symbol' >&2; then
    say "the plug-in does not fit the Qt installed here; nothing is installed"
    exit 1
fi
install -D -m 0644 "$library" "$dest/lib/${library##*/}"
ln -sf "${library##*/}" "$dest/lib/libQt6Multimedia.so.6"
install -D -m 0644 "$plugin" "$dest/qt6/plugins/multimedia/libffmpegmediaplugin.so"
say "installed $dest/lib/${library##*/} and $dest/qt6/plugins/multimedia/libffmpegmediaplugin.so"

say "removing what only the build needed"
mapfile -t added < <(comm -13 "$work/before" "$work/after")
if [ "${#added[@]}" -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${added[@]}" >&2
fi
apt-get clean
