#!/bin/sh
# build-musl-zstd.sh TRIPLET [OUTPUT_DIR]: prints the folder of Debian's
# libzstd decoder built as a static library for musl (TRIPLET is
# x86_64-linux-musl or i386-linux-musl): include/zstd.h, include/zstd_errors.h
# and lib/libzstd.a. With OUTPUT_DIR, those three files are copied there
# instead.
#
# The launcher that unpacks a compressed wizard is a static musl program.
# Debian's own libzstd.a is built against glibc's headers: that its decoder
# links into a musl program at all is an accident of how that build came out,
# not a promise of either library. So the decoder is built here from Debian's
# source package (with Debian's patches) against musl: the decoder alone, no
# encoder, no dictionary builder and none of the legacy formats, which no
# launcher's own payload uses.
#
# Made once per machine, triplet and recipe, in $QOR_ZSTD_MUSL_CACHE (default
# /var/cache/qor-zstd-musl)/<triplet>-<source version>-<recipe hash>/, in a
# temporary folder renamed when it is complete. The source comes through apt
# from the Debian mirrors this machine's apt configuration names, for its own
# release, as deb-src entries of a private apt configuration (nothing of the
# machine's own apt state changes); apt checks it against the signed indexes.
# The newest source version listed that can be downloaded is used, or
# $QOR_ZSTD_SOURCE_VERSION; a cached build of any version serves until the
# cache is removed.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
cached_root_tool=build-musl-zstd
. "$here/cached-root.sh"

[ $# -ge 1 ] || stop "usage: build-musl-zstd.sh TRIPLET [OUTPUT_DIR]"
triplet=$1 output=${2:-}
cache=${QOR_ZSTD_MUSL_CACHE:-/var/cache/qor-zstd-musl}
case $triplet in
x86_64-linux-musl) cc=gcc cc_package=gcc arch=amd64 ;;
i386-linux-musl) cc=i686-linux-gnu-gcc cc_package=gcc-i686-linux-gnu arch=i386 ;;
*) stop "unknown triplet $triplet (x86_64-linux-musl or i386-linux-musl)" ;;
esac
specs=/usr/lib/$triplet/musl-gcc.specs
[ -f "$specs" ] || stop "$specs not found: install the Debian package musl-dev:$arch"
command -v "$cc" >/dev/null || stop "$cc not found: install the Debian package $cc_package"

# The decoder only. -O2 as Debian builds it: as fast as upstream's -O3 here,
# and 25 KB smaller. CFLAGS comes from the environment, so that upstream's
# makefile still adds its own (warnings, a stack that is not executable).
make_options='ZSTD_LIB_COMPRESSION=0 ZSTD_LIB_DICTBUILDER=0 ZSTD_LEGACY_SUPPORT=0'
cflags='-O2 -fno-pie -ffunction-sections -fdata-sections -fno-asynchronous-unwind-tables'
# Every line that changes the result changes the folder's name.
recipe_version=1
musl_version=$(dpkg-query -W -f '${Version}' "musl-dev:$arch" 2>/dev/null || echo unknown)
key=$(printf '%s\n' "$recipe_version" "$triplet" "$($cc -dumpfullversion)" "$musl_version" $make_options $cflags |
  cache_key 10)

# cached: the newest complete build of this recipe (of the version asked for, if any).
cached() {
  for dir in "$cache/$triplet"-${QOR_ZSTD_SOURCE_VERSION:-*}-"$key"; do
    [ -e "$dir/done" ] && echo "$dir"
  done | sort -V | tail -n 1
}

deliver() { # DIR
  if [ -z "$output" ]; then echo "$1"; exit 0; fi
  mkdir -p "$output/include" "$output/lib"
  for f in include/zstd.h include/zstd_errors.h lib/libzstd.a; do
    cp "$1/$f" "$output/$f.tmp" && mv "$output/$f.tmp" "$output/$f"
  done
  exit 0
}

dir=$(cached)
[ -z "$dir" ] || deliver "$dir"

cache_lock "$cache" "run this once as root, or set QOR_ZSTD_MUSL_CACHE to a folder of yours"
# Another run may have finished it while this one waited.
dir=$(cached)
[ -z "$dir" ] || deliver "$dir"

tmp=$cache/$triplet-$key.tmp
rm -rf "$tmp"
mkdir -p "$tmp/apt/lists/partial" "$tmp/apt/cache/archives/partial" "$tmp/apt/parts" "$tmp/src"
log=$tmp/build.log

# deb-src entries for this machine's Debian release, its updates and its
# security updates, at the mirrors its apt configuration names
# (tools/debian-mirror.sh).
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
mirror=$("$here/debian-mirror.sh" || true)
security=$("$here/debian-mirror.sh" security || true)
[ -n "$codename" ] && [ -n "$mirror" ] || stop "this machine's apt configuration names no Debian mirror for its release"
{
  echo "deb-src $mirror $codename main"
  echo "deb-src $mirror $codename-updates main"
  [ -z "$security" ] || echo "deb-src $security $codename-security main"
} >"$tmp/apt/sources.list"

private_apt() {
  "$@" -q -o Dir::Etc::SourceList="$tmp/apt/sources.list" -o Dir::Etc::SourceParts="$tmp/apt/parts" \
    -o Dir::State::Lists="$tmp/apt/lists" -o Dir::Cache="$tmp/apt/cache" -o APT::Sandbox::User=root
}
start=$(date +%s)
note "building Debian's libzstd decoder for $triplet in $cache, once"
private_apt apt-get update >>"$log" 2>&1 || fail "apt could not read the source indexes of: $(cat "$tmp/apt/sources.list")"
# Newest first; a mirror may list a version whose files it no longer serves.
versions=${QOR_ZSTD_SOURCE_VERSION:-$(private_apt apt-cache showsrc libzstd 2>/dev/null | sed -n 's/^Version: //p' | sort -Vru)}
version=
for v in $versions; do
  if (cd "$tmp/src" && private_apt apt-get source --only-source "libzstd=$v") >>"$log" 2>&1; then version=$v; break; fi
  note "the source of libzstd $v could not be downloaded; trying an older one"
  rm -rf "${tmp:?}/src"/*
done
[ -n "$version" ] || fail "no source of libzstd could be downloaded (versions listed: $(echo $versions))"

src=$(find "$tmp/src" -mindepth 1 -maxdepth 1 -type d | head -n 1)
jobs=${QOR_ZSTD_JOBS:-$(nproc)}
# shellcheck disable=SC2086
CFLAGS=$cflags make -C "$src/lib" -j"$jobs" libzstd.a CC="$cc -specs=$specs" $make_options >>"$log" 2>&1 ||
  fail "building libzstd $version failed"
mkdir -p "$tmp/include" "$tmp/lib"
cp "$src/lib/zstd.h" "$src/lib/zstd_errors.h" "$tmp/include/"
cp "$src/lib/libzstd.a" "$tmp/lib/"
printf '%s\n' "source libzstd $version" "compiler $cc $($cc -dumpfullversion), musl $musl_version" \
  "make $make_options CFLAGS=$cflags" >"$tmp/recipe.txt"
rm -rf "$tmp/src" "$tmp/apt"
touch "$tmp/done"
dir=$cache/$triplet-$version-$key
rm -rf "$dir"
mv "$tmp" "$dir"
note "libzstd $version for $triplet done in $(($(date +%s) - start)) s"
deliver "$dir"
