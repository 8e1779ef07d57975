#!/usr/bin/env bash
# Installs what is missing, builds Tambrel, installs it into ~/.local (or the
# prefix in TAMBREL_PREFIX) and starts the installed copy. The palettes and
# settings live beside that copy, out of reach of a rebuild or a clean.
set -euo pipefail
cd "$(dirname "$0")/.."
prefix="${TAMBREL_PREFIX:-$HOME/.local}"
folder="$prefix/lib/tambrel"
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target Tambrel
cmake --install build --prefix "$prefix" >/dev/null
# The operator's files an older run wrote into the build folder come along
# once; nothing already in the program folder is replaced.
for file in build/*.Bnk build/Tambrel.ini build/Lecteurs.ini; do
    if [ -f "$file" ] && [ ! -e "$folder/$(basename "$file")" ]; then
        cp -p "$file" "$folder/"
    fi
done
exec "$folder/Tambrel" "$@"
