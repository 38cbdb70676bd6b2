#!/usr/bin/env bash
# Builds the Debian packages from a build folder: quillon, tandril-snmp-agent,
# liborvaneplayer1 and liborvaneplayer-dev, for the build's architecture (amd64 for the
# native build, armhf for the cross build). Each package is the install component of the
# same name staged with `cmake --install`; run-time dependencies come from dpkg-shlibdeps.
#
#   scripts/package.sh [build dir (build/normal)] [output dir (build/packages)]
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=$(realpath "${1:-build/normal}")
OUT=$(realpath -m "${2:-build/packages}")
DIST=$ROOT/dist/debian

if grep -q 'CMAKE_TOOLCHAIN_FILE:.*armhf' "$BUILD/CMakeCache.txt"; then
  ARCH=armhf STRIP=arm-linux-gnueabihf-strip
else
  ARCH=$(dpkg --print-architecture) STRIP=strip
fi
# The packages install into /usr, /etc and the multiarch library folder, whatever the
# build was configured with.
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_INSTALL_LIBDIR:PATH="lib/$(dpkg-architecture -a"$ARCH" -qDEB_HOST_MULTIARCH 2>/dev/null)" > /dev/null
cmake --build "$BUILD" -j"$(nproc)" --target quillon tandril-snmp-agent orvaneplayer manpages > /dev/null
VERSION=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")
SOVERSION=1
LIBPKG=liborvaneplayer$SOVERSION
MAINTAINER="Quillon Developers <devel@quillon.example.org>"

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$OUT"
rm -f "$OUT"/*_"$ARCH".deb

# component -> package
declare -A PACKAGE=([player]=quillon [agent]=tandril-snmp-agent [library]=$LIBPKG
                    [development]=liborvaneplayer-dev)

description() {  # the synopsis and long description of a package from dist/debian
  awk -v pkg="$1" -F'|' '
    /^[^ ]/ { on = ($1 == pkg); if (on) print "Description: " $3; next }
    on { print }' "$DIST/descriptions"
}
section() { awk -v pkg="$1" -F'|' '$1 == pkg { print $2 }' "$DIST/descriptions"; }

# Run-time dependencies of the ELF files in a staged tree; the engine library of this
# build is known through shlibs.local.
shlibs_depends() {
  local stage=$1 files
  files=$(find "$stage" -type f \( -perm -u+x -o -name '*.so.*' \) -exec sh -c \
          'head -c4 "$1" | grep -q ELF && echo "$1"' _ {} \;)
  [ -n "$files" ] || return 0
  local dir=$WORK/shlibdeps
  rm -rf "$dir"; mkdir -p "$dir/debian"
  printf 'Source: quillon\n\nPackage: quillon\nArchitecture: any\n' > "$dir/debian/control"
  echo "liborvaneplayer $SOVERSION $LIBPKG (>= $VERSION)" > "$dir/debian/shlibs.local"
  local libdir
  libdir=$(find "$WORK" -name "liborvaneplayer.so.$SOVERSION" -printf '%h\n' | head -1)
  # shellcheck disable=SC2086
  (cd "$dir" && dpkg-architecture -a"$ARCH" -f -c \
     dpkg-shlibdeps -O ${libdir:+-l"$libdir"} -e$files 2>"$dir/warnings") \
    | sed -n 's/^shlibs:Depends=//p'
}

build_package() {
  local component=$1 pkg=${PACKAGE[$1]}
  local stage=$WORK/$pkg
  DESTDIR=$stage cmake --install "$BUILD" --component "$component" > /dev/null
  # Debug information stays in the build; the device gets stripped files.
  find "$stage" -type f \( -perm -u+x -o -name '*.so.*' \) -exec sh -c \
    'head -c4 "$1" | grep -q ELF' _ {} \; -exec "$STRIP" --strip-unneeded \
    --remove-section=.comment --remove-section=.note {} \;

  local doc=$stage/usr/share/doc/$pkg
  mkdir -p "$doc"
  install -m 0644 "$DIST/copyright" "$doc/copyright"
  gzip -9n < "$DIST/changelog" > "$doc/changelog.gz"
  chmod 0644 "$doc/changelog.gz"

  mkdir -p "$stage/DEBIAN"
  local depends extra=""
  depends=$(shlibs_depends "$stage")
  case "$pkg" in
    # HTTPS servers are checked against the system's trust store.
    quillon) extra="adduser, ca-certificates" ;;
    tandril-snmp-agent) extra="adduser" ;;
    liborvaneplayer-dev) extra="$LIBPKG (= $VERSION)" ;;
  esac
  depends=$(echo "${depends:+$depends, }$extra" | sed 's/, $//')
  {
    echo "Package: $pkg"
    echo "Version: $VERSION"
    echo "Architecture: $ARCH"
    echo "Maintainer: $MAINTAINER"
    echo "Installed-Size: $(du -sk --exclude=DEBIAN "$stage" | cut -f1)"
    [ -z "$depends" ] || echo "Depends: $depends"
    case "$pkg" in
      "$LIBPKG") echo "Multi-Arch: same" ;;
      liborvaneplayer-dev) echo "Multi-Arch: same" ;;
    esac
    echo "Section: $(section "$pkg")"
    echo "Priority: optional"
    description "$pkg"
  } > "$stage/DEBIAN/control"

  if [ -d "$stage/etc" ]; then
    (cd "$stage" && find etc -type f | sort | sed 's|^|/|') > "$stage/DEBIAN/conffiles"
  fi
  if [ "$pkg" = "$LIBPKG" ]; then
    echo "liborvaneplayer $SOVERSION $LIBPKG (>= $VERSION)" > "$stage/DEBIAN/shlibs"
    echo "activate-noawait ldconfig" > "$stage/DEBIAN/triggers"
  fi
  local script
  for script in postinst prerm postrm; do
    if [ -f "$DIST/$pkg.$script" ]; then
      install -m 0755 "$DIST/$pkg.$script" "$stage/DEBIAN/$script"
    fi
  done
  (cd "$stage" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z \
     | xargs -0 -r md5sum) > "$stage/DEBIAN/md5sums"
  chmod 0644 "$stage/DEBIAN/control" "$stage/DEBIAN/md5sums"
  find "$stage" -type d -exec chmod 0755 {} \;

  dpkg-deb --root-owner-group -Zxz --build "$stage" "$OUT/${pkg}_${VERSION}_${ARCH}.deb" > /dev/null
  echo "package: $OUT/${pkg}_${VERSION}_${ARCH}.deb"
}

# The library first: the others find it through its staged tree.
for component in library development player agent; do
  build_package "$component"
done
