# shellcheck shell=bash disable=SC2034
# Sourced by run.sh and uninstall.sh: who Tambrel is installed for. Under
# sudo that is the user who called it, not root: the program, its palettes
# and its launcher belong in their home, and it starts on their display.

# Sets operator_user, operator_uid, operator_gid, operator_home, and as_operator: the
# words that run a command as the operator in their session, empty when
# this shell is already theirs.
find_operator() {
  as_operator=()
  if [[ $(id -u) -ne 0 || -z ${SUDO_USER:-} || $SUDO_USER == root ]]; then
    operator_user=$(id -un)
    operator_uid=$(id -u)
    operator_gid=$(id -g)
    operator_home=$HOME
    return 0
  fi
  local entry name runtime
  if ! entry=$(getent passwd "$SUDO_USER"); then
    echo "L'utilisateur $SUDO_USER est inconnu. / No such user: $SUDO_USER." >&2
    return 1
  fi
  IFS=: read -r operator_user _ operator_uid operator_gid _ operator_home _ <<<"$entry"
  # sudo keeps little of the caller's session: their display, and their
  # runtime folder and session bus, which desktop programs need.
  runtime=/run/user/$operator_uid
  if [[ -n ${XDG_RUNTIME_DIR:-} && $(stat -c %u "$XDG_RUNTIME_DIR" 2>/dev/null) == "$operator_uid" ]]; then
    runtime=$XDG_RUNTIME_DIR
  fi
  as_operator=(sudo -u "$operator_user" -H env "XDG_RUNTIME_DIR=$runtime"
    "DBUS_SESSION_BUS_ADDRESS=${DBUS_SESSION_BUS_ADDRESS:-unix:path=$runtime/bus}")
  for name in DISPLAY WAYLAND_DISPLAY XAUTHORITY XDG_SESSION_TYPE XDG_CURRENT_DESKTOP \
    LANG LANGUAGE LC_ALL TAMBREL_PREFIX; do
    [[ -z ${!name:-} ]] || as_operator+=("$name=${!name}")
  done
}

# The program folder in the operator's prefix.
program_folder() {
  echo "${TAMBREL_PREFIX:-$operator_home/.local}/lib/tambrel"
}

# Root installing for itself says so first: the program, the palettes and
# the launcher then are root's, not the operator's.
announce_root_install() {
  [[ $operator_uid -eq 0 ]] || return 0
  echo "Tambrel s'installe pour root, dans $(program_folder). Pour l'installer pour l'opérateur," \
    "lancez la commande depuis sa session (sudo sera demandé)."
  echo "Installing Tambrel for root, into $(program_folder). To install it for the operator," \
    "run the command from their session (sudo will be asked for)."
}
