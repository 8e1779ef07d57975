#!/usr/bin/env bash
# Installs what building and running Tambrel need (no test tool, no sound
# server, no X server), builds it, installs it into the operator's ~/.local
# (or the prefix in TAMBREL_PREFIX) and starts the installed copy. Run by
# the operator; under sudo, only the packages are installed as root, and the
# rest is done as the user who called sudo. The palettes and settings live
# beside the installed copy, out of reach of a rebuild or a clean.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/operator.sh
source scripts/operator.sh
find_operator
bash scripts/install-deps.sh run

# Its own build folder and options: the test command's build keeps its tests,
# and this one needs neither GoogleTest nor Qt Multimedia.
build="build-run"
if ((${#as_operator[@]})); then
  if ! "${as_operator[@]}" test -w .; then
    echo "Le dossier $PWD n'est pas à $operator_user : « sudo chown -R $operator_user: $PWD », puis relancez." >&2
    echo "The folder $PWD is not $operator_user's to write: \"sudo chown -R $operator_user: $PWD\", then run again." >&2
    exit 1
  fi
  # A build root left here is the operator's to rebuild.
  if [[ -d $build ]] && [[ -n $(find "$build" ! -user "$operator_uid" -print -quit) ]]; then
    chown -R "$operator_uid:$operator_gid" "$build"
  fi
  exec "${as_operator[@]}" bash scripts/run.sh "$@"
fi

folder=$(program_folder)
announce_root_install
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMBREL_TESTS=OFF -DTAMBREL_BENCH=OFF \
  -DTAMBREL_FUZZ=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target Tambrel
cmake --install "$build" --prefix "${folder%/lib/tambrel}" >/dev/null
# The operator's files an older run wrote into the build folder come along
# once; nothing already in the program folder is replaced.
for file in build/*.Bnk build/Tambrel.ini build/Lecteurs.ini; do
  if [ -f "$file" ] && [ ! -e "$folder/$(basename "$file")" ]; then
    cp -p "$file" "$folder/"
  fi
done
exec "$folder/Tambrel" "$@"
