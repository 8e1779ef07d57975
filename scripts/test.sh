#!/usr/bin/env bash
# Installs what is missing, checks the sources' style (clang-format, and
# clang-tidy with the checks of .clang-tidy), builds Tambrel with warnings as
# errors and runs every test: once in an
# ordinary build, once under AddressSanitizer and UndefinedBehaviorSanitizer,
# once under ThreadSanitizer,
# the file readers' fuzz targets for a bounded time, the end-to-end suite,
# which starts its own X server (Xvfb) and sound server (PulseAudio with null
# sinks), and the Debian package's test (tests/package), which builds,
# installs, upgrades and purges it with apt. No sound card and no display are needed. On a machine that cannot
# take a test tool without losing a package (a desktop on PipeWire and the
# PulseAudio daemon) the tests that need it are skipped, and listed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/test-skips.sh
source scripts/test-skips.sh
install_test_tools
trap report_skips EXIT
ctest_filter=(--no-tests=error)
[[ -z $ctest_skip ]] || ctest_filter+=(-E "$ctest_skip")

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen

echo "== style: clang-format"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

echo "== build and tests"
# Every option spelled out: a value cached by an earlier configure must not
# leave tests unbuilt.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMBREL_TESTS=ON -DTAMBREL_BENCH=ON \
  -DTAMBREL_WERROR=ON >/dev/null
cmake --build build -j"$jobs"

echo "== style: clang-tidy on the program's sources"
# The program's folders are listed once, in .clang-tidy's header filter: the
# sources checked here are the ones in those folders.
folders=$(sed -n "s|^HeaderFilterRegex: '\(([a-z|]*)\)/\.\*'$|\1|p" .clang-tidy)
[[ -n $folders ]] || { echo ".clang-tidy: no HeaderFilterRegex '(folder|...)/.*' to take the folders from"; exit 1; }
# A folder of the program left off that list would go unchecked: say so.
for folder in $(git ls-files '*.cpp' '*.h' | sed -n 's|^\([^/]*\)/.*|\1|p' | sort -u); do
  [[ $folder == tests || $folder == bench || $folders =~ [(|]${folder}[|)] ]] ||
    { echo ".clang-tidy: the folder $folder/ is missing from HeaderFilterRegex"; exit 1; }
done
run-clang-tidy -p build -j "$jobs" -quiet \
  "$PWD/$folders/.*\.cpp$" >build/clang-tidy.log 2>&1 ||
  { grep -E 'warning:|error:' build/clang-tidy.log; echo "clang-tidy found the above"; exit 1; }

ctest --test-dir build --output-on-failure -j"$jobs" "${ctest_filter[@]}"

echo "== end to end: the real program on Xvfb, with PulseAudio and with PipeWire"
prefix=$(mktemp -d)
python3 tests/e2e/e2e.py build/Tambrel --install-prefix "$prefix" --screenshot build/palette-window.png \
  --guide-shots build/guide "${e2e_options[@]}"
rm -rf "$prefix"

echo "== build and tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTAMBREL_SANITIZE=ON -DTAMBREL_TESTS=ON \
  -DTAMBREL_BENCH=OFF -DTAMBREL_WERROR=ON >/dev/null
cmake --build build-asan -j"$jobs"
# The leak checker does not follow __tls_get_addr: the sanitizer runtime's record of dynamic TLS
# blocks goes wrong with this glibc once Qt's plugins are loaded, and its tracer then crashes at exit.
# Static TLS, stacks and the heap are still scanned, and a planted leak is still reported.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:intercept_tls_get_addr=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" "${ctest_filter[@]}"

echo "== build and tests under ThreadSanitizer"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DTAMBREL_SANITIZE_THREAD=ON -DTAMBREL_TESTS=ON \
  -DTAMBREL_BENCH=OFF -DTAMBREL_WERROR=ON >/dev/null
cmake --build build-tsan -j"$jobs"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp" \
  ctest --test-dir build-tsan --output-on-failure -j"$jobs" "${ctest_filter[@]}"

echo "== fuzzing the file readers (libFuzzer, AddressSanitizer)"
fuzz_seconds=${TAMBREL_FUZZ_SECONDS:-30}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMBREL_FUZZ=ON \
  -DTAMBREL_TESTS=OFF -DTAMBREL_BENCH=OFF >/dev/null
for target in palette_reader_fuzz settings_reader_fuzz drive_mapping_reader_fuzz osc_packet_reader_fuzz \
  osc_request_reader_fuzz web_message_reader_fuzz; do
  cmake --build build-fuzz -j"$jobs" --target "$target"
  work=$(mktemp -d)
  mkdir "$work/corpus"
  cp tests/fuzz/corpus/"${target%_reader_fuzz}"/* "$work/corpus"/
  status=0
  build-fuzz/"$target" -max_total_time="$fuzz_seconds" -artifact_prefix="$work/found-" \
    "$work/corpus" >"$work/log" 2>&1 || status=$?
  grep -E '^Done' "$work/log" || true
  if ((status != 0)) || grep -q 'runtime error' "$work/log"; then
    echo "fuzzing $target found a failure (log and input kept in $work):"
    tail -40 "$work/log"
    exit 1
  fi
  rm -rf "$work"
done

echo "== the Debian package: built, checked, installed, heard, upgraded while it plays, purged"
python3 tests/package/package_test.py
