#!/usr/bin/env bash
# Installs, from Debian 12's packages, whatever this machine lacks:
#   install-deps.sh run    what building and running Tambrel need
#   install-deps.sh package  what building and running Tambrel need, and
#                            Debian's tools to build and check its package
#   install-deps.sh test   all of that, and the test command's tools (the default)
# Safe to run again: it installs only what is missing, and asks no password
# when nothing is. It never removes a package: apt is asked first, and an
# install that would remove anything does not happen (a desktop running
# PipeWire loses its sound, and GNOME its meta-package, to the PulseAudio
# daemon).
#   --may-leave-out PKG   a test tool that some tests alone need: when it
#                         cannot come without a removal, the rest is installed
#   --left-out FILE       where the names of the tools left out are written
set -euo pipefail

run_packages=(
  cmake g++ make pkg-config
  qt6-base-dev libgl-dev qt6-translations-l10n
  libsndfile1-dev libsoxr-dev libsdl2-dev libpulse-dev libpipewire-0.3-dev liblo-dev libasound2-dev
  qt6-httpserver-dev qt6-websockets-dev libebur128-dev
)

test_packages=(
  libgtest-dev libgmock-dev
  clang libclang-rt-14-dev clang-format clang-tidy git
  desktop-file-utils
  xvfb pulseaudio pulseaudio-utils xdotool imagemagick python3 fonts-dejavu-core liblo-tools
)
# A network share that answers slowly, hangs or fails on request, for the
# tests of the file system calls: a FUSE file system (tests/support/slow_share).
test_packages+=(libfuse3-dev fuse3)
# The web page's end-to-end test: a real browser, driven headless.
test_packages+=(chromium chromium-driver python3-selenium)
# A private PipeWire, as a desktop runs it, for the output's tests and the
# end-to-end suite: the daemon, its session manager on a bus of its own, and
# its server for PulseAudio clients; pipewire-bin holds pw-play.
test_packages+=(pipewire pipewire-bin pipewire-pulse wireplumber dbus)
# Only for bench/latency_bench, which compares Tambrel's start latency with
# the players a desktop offers. Qt's FFmpeg media backend ships inside
# libqt6multimedia6, which qt6-multimedia-dev pulls in; gstreamer1.0-pulseaudio
# holds pulsesink, the sink Qt's GStreamer backend plays through.
test_packages+=(
  qt6-multimedia-dev
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-libav
  gstreamer1.0-pulseaudio
)

# Debian's own tools, for scripts/package.sh and the package's test.
package_packages=(debhelper dpkg-dev fakeroot lintian appstream)

usage="usage: install-deps.sh [run|package|test] [--may-leave-out PACKAGE]... [--left-out FILE]"
set_name="test"
if [[ ${1:-} == run || ${1:-} == package || ${1:-} == test ]]; then
  set_name=$1
  shift
fi
packages=("${run_packages[@]}")
[[ $set_name == run ]] || packages+=("${package_packages[@]}")
[[ $set_name != test ]] || packages+=("${test_packages[@]}")
may_leave_out=()
left_out_file=
while (($#)); do
  case $1 in
    --may-leave-out) may_leave_out+=("${2:?$usage}"); shift 2 ;;
    --left-out) left_out_file=${2:?$usage}; shift 2 ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
done

say() { printf 'install-deps: %s\n' "$@"; }

# The packages apt would remove to install "$@", on one line. Fails when apt
# cannot plan it (lists never fetched, a package unknown to them); with
# loud set, apt's own words go to standard error then.
removals() {
  local out
  if ! out=$(LC_ALL=C apt-get install -s --no-install-recommends "$@" 2>&1); then
    [[ -z ${loud:-} ]] || printf '%s\n' "$out" >&2
    return 1
  fi
  sed -n 's/^\(Remv\|Purg\) \([^ ]*\).*/\2/p' <<<"$out" | sort -u | paste -sd ' ' -
}

refuse() {
  local removed=$1 elsewhere_fr='' elsewhere_en=''
  if [[ $set_name == test ]]; then
    elsewhere_fr=", ou lancez les tests sur une autre machine"
    elsewhere_en=", or run the tests on another machine"
  fi
  say "Installer ${missing[*]} retirerait ces paquets : $removed" \
    "Rien n'a été installé. Vérifiez avec « apt-get install -s ${missing[*]} », puis installez" \
    "à la main si ces retraits vous conviennent$elsewhere_fr." \
    "Installing ${missing[*]} would remove these packages: $removed" \
    "Nothing was installed. Check with \"apt-get install -s ${missing[*]}\", then install by hand" \
    "if those removals are acceptable$elsewhere_en." >&2
  exit 3
}

# Splits the missing packages into those to install and those left out, each
# left out with what it would have removed; stops, installing nothing, when
# a removal cannot be avoided. Fails when apt cannot plan.
plan() {
  install=() left_out=() left_out_why=()
  local removed p alone
  removed=$(removals "${missing[@]}") || return 1
  if [[ -z $removed ]]; then
    install=("${missing[@]}")
    return 0
  fi
  for p in "${missing[@]}"; do
    if [[ " ${may_leave_out[*]} " == *" $p "* ]] && alone=$(removals "$p") && [[ -n $alone ]]; then
      left_out+=("$p")
      left_out_why+=("$alone")
    else
      install+=("$p")
    fi
  done
  ((${#left_out[@]})) || refuse "$removed"
  if ((${#install[@]})); then
    removed=$(removals "${install[@]}") || return 1
    [[ -z $removed ]] || refuse "$removed"
  fi
}

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ -z $left_out_file ]] || : >"$left_out_file"
((${#missing[@]})) || exit 0

# The lists on the machine first: a tool that stays left out then costs
# neither a password nor a download at each run.
lists_read=1
plan || lists_read=0
if ((${#install[@]} || !lists_read)); then
  if [[ $(id -u) -eq 0 ]]; then
    as_root=()
  elif command -v sudo >/dev/null 2>&1; then
    as_root=(sudo)
  else
    say "Il manque ${missing[*]} et il faut être root, ou avoir sudo, pour les installer." \
      "Missing ${missing[*]}; installing them takes root or sudo." >&2
    exit 1
  fi
  "${as_root[@]}" apt-get update -qq
  loud=1 plan || { say "apt ne sait pas installer ${missing[*]} (voir plus haut / see above)." >&2; exit 1; }
fi

for i in "${!left_out[@]}"; do
  say "${left_out[i]} n'est pas installé : l'installer retirerait ${left_out_why[i]}." \
    "Les tests qui en ont besoin seront sautés." \
    "${left_out[i]} is not installed: installing it would remove ${left_out_why[i]}." \
    "The tests that need it will be skipped."
done
if [[ -n $left_out_file ]] && ((${#left_out[@]})); then
  printf '%s\n' "${left_out[@]}" >"$left_out_file"
fi
if ((${#install[@]})); then
  say "installing ${install[*]}"
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends --no-remove "${install[@]}"
fi
