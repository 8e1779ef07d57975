#!/usr/bin/env bash
# Builds the Debian package, tambrel_<version>_amd64.deb, with Debian's own
# tools (debian/, dpkg-buildpackage), from a copy of this tree: the tree
# keeps no trace of the build. The .deb goes to build-package/, or to the
# folder in TAMBREL_PACKAGE_DIR.
#   TAMBREL_VERSION_SUFFIX=+test1   a later version of the same sources
# The version is CMakeLists.txt's; debian/changelog must agree with it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh package

version=$(sed -n 's/^project(Tambrel VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
packaged=$(dpkg-parsechangelog -S Version)
if [[ -z $version || ${packaged%-*} != "$version" ]]; then
  echo "debian/changelog says ${packaged}, CMakeLists.txt says ${version:-nothing}:" \
    "add an entry for ${version}-1 to debian/changelog." >&2
  exit 1
fi
suffix=${TAMBREL_VERSION_SUFFIX:-}
[[ $suffix =~ ^[A-Za-z0-9.+~]*$ ]] || { echo "TAMBREL_VERSION_SUFFIX: letters, digits, . + ~ only" >&2; exit 2; }
out=$(realpath -m "${TAMBREL_PACKAGE_DIR:-build-package}")

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/tambrel"
# The sources as they stand, committed or not; no build folder.
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' file; do [[ -e $file ]] && printf '%s\0' "$file"; done |
  tar --null -T - -cf - | tar -C "$stage/tambrel" -xf -
if [[ -n $suffix ]]; then
  sed -i "1s/(\([^)]*\))/(\1$suffix)/" "$stage/tambrel/debian/changelog"
fi
(
  cd "$stage/tambrel"
  DEB_BUILD_OPTIONS=${DEB_BUILD_OPTIONS:-parallel=$(nproc)} dpkg-buildpackage -us -uc -b
)
mkdir -p "$out"
deb=tambrel_${packaged}${suffix}_amd64.deb
mv "$stage/$deb" "$out/"
echo "$out/$deb"
