# shellcheck shell=bash disable=SC2034
# Sourced by test.sh: installs the test command's tools and works out which
# tests cannot run on this machine. A test is skipped only because its tool
# was left out, as installing it would have removed a package; a tool that
# is merely missing fails its tests. With TAMBREL_SKIP_NOTHING=1 (CI) no tool
# may be left out: the install stops instead.

# The tools a machine may refuse, and what needs each.
leavable_tools=(pulseaudio)

# Sets, for the tools in "$@" left out:
#   skipped      what is skipped, one entry per suite or group
#   ctest_skip   the ctest -E pattern of those tests, empty when none
#   e2e_options  what the end-to-end suite is told to leave out
skips_for() {
  skipped=()
  e2e_options=()
  local patterns=() tool
  for tool; do
    case $tool in
      pulseaudio)
        # The PulseAudio daemon: tests/support/pulse_server and tests/e2e/sound.py start it.
        skipped+=("audio_engine_tests: Servers/EachServerTest.*/PulseAudio, PulseOutputTest.*"
          "window_tests: OutputDevices.*"
          "stress_bench_pulse_brief"
          "tests/e2e/e2e.py: the sessions on a PulseAudio daemon (the one on PipeWire runs)")
        patterns+=('^Servers/EachServerTest\..*/PulseAudio' '^PulseOutputTest\.' '^OutputDevices\.'
          '^stress_bench_pulse_brief$')
        e2e_options+=(--without-pulseaudio)
        ;;
      *)
        echo "test-skips: no tests known to need $tool" >&2
        return 1
        ;;
    esac
  done
  ctest_skip=$(
    IFS='|'
    echo "${patterns[*]}"
  )
}

install_test_tools() {
  local file options=() tool
  file=$(mktemp)
  if [[ ${TAMBREL_SKIP_NOTHING:-0} != 1 ]]; then
    for tool in "${leavable_tools[@]}"; do options+=(--may-leave-out "$tool"); done
  fi
  bash scripts/install-deps.sh test "${options[@]}" --left-out "$file" || {
    rm -f "$file"
    return 1
  }
  mapfile -t left_out_tools <"$file"
  rm -f "$file"
  skips_for "${left_out_tools[@]}"
}

# Loud, last, whatever the outcome: a run that skipped is not a full run.
report_skips() {
  ((${#skipped[@]})) || return 0
  echo
  echo "=================================================================="
  echo "Tests sautés, faute de ${left_out_tools[*]} / tests skipped for want of ${left_out_tools[*]}:"
  printf 'SKIPPED: %s\n' "${skipped[@]}"
  echo "=================================================================="
}
