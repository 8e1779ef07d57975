#!/usr/bin/env bash
# Removes what run.sh installed for the operator (in ~/.local, or the prefix
# in TAMBREL_PREFIX): the program, its icons, its desktop entry and the
# launcher it put on the desktop. The operator's files stay: palettes,
# settings, drive mapping, remote-control settings, the as-run log, anything
# else in the program folder, which is removed only when left empty. No
# package is removed.
set -euo pipefail
here=$(dirname "$0")
# shellcheck source=scripts/operator.sh
source "$here/operator.sh"
find_operator
if ((${#as_operator[@]})); then
  exec "${as_operator[@]}" bash "$here/uninstall.sh"
fi

folder=$(program_folder)
prefix=${folder%/lib/tambrel}
removed=()
kept=()

remove() {
  local file
  for file; do
    if [[ -f $file || -L $file ]]; then
      rm -f -- "$file"
      removed+=("$file")
    fi
  done
}

# The desktop folders the program may have used: the one the user's settings
# name, and the usual ones when they name none.
desktop_folders() {
  local settings=${XDG_CONFIG_HOME:-$HOME/.config}/user-dirs.dirs named
  if command -v xdg-user-dir >/dev/null 2>&1; then xdg-user-dir DESKTOP || true; fi
  if [[ -f $settings ]]; then
    named=$(sed -n 's/^XDG_DESKTOP_DIR="\(.*\)"$/\1/p' "$settings" | tail -1)
    [[ -z $named ]] || echo "${named/#\$HOME/$HOME}"
  fi
  echo "$HOME/Desktop"
  echo "$HOME/Bureau"
}

# A launcher is ours when it starts the program from this folder; another
# copy's, or another program's of that name, stays.
real_folder=$(realpath -m -- "$folder")
while IFS= read -r desktop; do
  launcher=$desktop/Tambrel.desktop
  [[ -f $launcher ]] || continue
  if grep -qxF -e "Path=$folder" -e "Path=$real_folder" "$launcher"; then
    remove "$launcher"
  else
    kept+=("$launcher (d'une autre installation / another installation's)")
  fi
done < <(desktop_folders | awk '!seen[$0]++')

remove "$folder/Tambrel" "$folder/tambrel.png" "$prefix/share/applications/tambrel.desktop"
if [[ -d $prefix/share/icons/hicolor ]]; then
  mapfile -t icons < <(find "$prefix/share/icons/hicolor" -path '*/apps/tambrel.*' \( -type f -o -type l \))
  remove "${icons[@]}"
fi

if [[ -d $folder ]]; then
  if rmdir -- "$folder" 2>/dev/null; then
    removed+=("$folder/")
  else
    mapfile -t left < <(find "$folder" -mindepth 1 -maxdepth 1 -printf '%f\n' | sort)
    kept+=("$folder/ : ${left[*]}")
  fi
fi

if ((${#removed[@]} == 0)); then
  echo "Rien de Tambrel à retirer dans $prefix. / Nothing of Tambrel to remove in $prefix."
fi
((${#removed[@]} == 0)) || printf 'Retiré / removed: %s\n' "${removed[@]}"
((${#kept[@]} == 0)) || printf 'Gardé / kept: %s\n' "${kept[@]}"
