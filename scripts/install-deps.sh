#!/usr/bin/env bash
# Installs, from Debian 12's packages, whatever this machine lacks to build,
# run and test Tambrel. Safe to run again: it installs only what is missing.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  qt6-base-dev libgl-dev qt6-translations-l10n
  libsndfile1-dev libsoxr-dev libsdl2-dev libpulse-dev libpipewire-0.3-dev liblo-dev libasound2-dev
  libgtest-dev libgmock-dev
  clang libclang-rt-14-dev clang-format clang-tidy git
  desktop-file-utils
  xvfb pulseaudio pulseaudio-utils xdotool imagemagick python3 fonts-dejavu-core liblo-tools
)

# A private PipeWire, as a desktop runs it, for the output's tests and the
# end-to-end suite: the daemon, its session manager on a bus of its own, and
# its server for PulseAudio clients; pipewire-bin holds pw-play.
packages+=(pipewire pipewire-bin pipewire-pulse wireplumber dbus)

# Only for bench/latency_bench, which compares Tambrel's start latency with
# the players a desktop offers; the program and its tests need none of these.
# Qt's FFmpeg media backend ships inside libqt6multimedia6, which
# qt6-multimedia-dev pulls in; gstreamer1.0-pulseaudio holds pulsesink, the
# sink Qt's GStreamer backend plays through.
packages+=(
  qt6-multimedia-dev
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-libav
  gstreamer1.0-pulseaudio
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

if [[ $(id -u) -eq 0 ]]; then
  as_root=()
elif command -v sudo >/dev/null 2>&1; then
  as_root=(sudo)
else
  echo "install-deps: missing packages (${missing[*]}) and neither root nor sudo" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
"${as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
