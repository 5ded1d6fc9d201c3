#!/usr/bin/env bash
# Sets up everything and runs all tests: a normal build, a build under AddressSanitizer and
# UndefinedBehaviorSanitizer, the threaded tests under ThreadSanitizer, and the fuzz targets.
set -euo pipefail
cd "$(dirname "$0")"
here=$(pwd)
jobs=$(nproc)
# Most tests wait for sound in real time, each sound test on a private server of its own
# (scripts/own-sound-server.sh): twice as many tests as cores keep the cores busy.
test_jobs=$((jobs * 2))
scripts/deps.sh test

# shellcheck source=scripts/sound-server.sh
. scripts/sound-server.sh
if sound_server_start; then
  trap sound_server_stop EXIT
else
  echo "sound server: none could be started; tests labelled 'sound' will skip" >&2
  [ -n "${CI:-}" ] && { echo "CI needs the sound server" >&2; exit 1; }
fi

# Each stage says when it starts, so a slow run shows where its time went.
stage() { echo "== $1 (at $((SECONDS / 60)) min $((SECONDS % 60)) s)"; }

configure_build() {  # dir, extra cmake args...
  local dir=$1; shift
  cmake -S "$here" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs" ${targets:+--target $targets}
}
# The sanitizer builds keep line tables only: all a report's backtrace needs, and much
# quicker to compile and link than full debug information.
debug_lines=(-DCMAKE_CXX_FLAGS_DEBUG=-g1 -DCMAKE_C_FLAGS_DEBUG=-g1)

status=0
# The failing tests of every stage, repeated at the end: a long log is often shown cut.
failures=$(mktemp)
failed_in() {  # stage name, build dir: notes the tests its last ctest run failed
  sed "s/^[0-9]*:/  $1: /" "$2/Testing/Temporary/LastTestsFailed.log" >>"$failures" 2>/dev/null ||
    echo "  $1" >>"$failures"
}
targets=""  # what configure_build builds: everything unless a stage names its programs
stage "normal build"
# Line tables are all a failing test's backtrace needs, and build faster than full debug info.
configure_build build -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
# Four sound tests at once on two cores make a server's stream underrun now and then (the
# test's own player's too), and the echo tests judge to 2 ms: a test that fails runs again on
# its own, and a fault of the program fails it there too. The first run's output stays above.
rerun_alone() {
  echo "== the failed tests again, one at a time"
  ctest --output-on-failure --rerun-failed
}
(cd build && { ctest --output-on-failure -j "$test_jobs" || rerun_alone; }) ||
  { status=1; failed_in normal build; }

stage "echo tests on PipeWire"
# Most desktops run PipeWire, where the program takes its own protocol: the delay chain's
# end-to-end tests, the headless program's tests (with PipeWire restarted under a running
# delay), the window's echo test, the delay chain's 2 ms echo tests and the backends' own
# tests on the shared server run again on a private one (in a subshell, so its variables stay there). Its graph runs on a
# timer that wakes late on a loaded machine and loses that time; the echo tests time the sink
# on the system clock and do not judge the echoes near such a stall (they say so). A failing
# program still gets a second run; a fault of the program fails both. The cases that skipped
# are listed: a case the machine left unjudged is skipped with its reason, not passed.
if [ -n "${UNA_SOUND_SERVER:-}" ]; then
  (pipewire_server_start || pipewire_server_start || { [ -z "${CI:-}" ] && echo "PipeWire tests skipped" >&2 && exit 0; exit 1; }
   trap pipewire_server_stop EXIT
   cd build
   pw_status=0
   ctest --output-on-failure --repeat until-pass:2 \
     -R '^(audio_delay_chain_e2e_test|app_headless_test|app_window_echo_test|app_sound_faults_test)$' || pw_status=1
   grep -h -B1 '^\[  SKIPPED \] [A-Za-z].*(' Testing/Temporary/LastTest.log | grep -v '^--$' || true
   tests/app_delay_chain_test --gtest_filter='*TwoMilliseconds*:*ChangesWhileRunning*' ||
     tests/app_delay_chain_test --gtest_filter='*TwoMilliseconds*:*ChangesWhileRunning*' ||
     pw_status=1
   # Its other cases start PulseAudio servers of their own: the normal stage runs them.
   tests/platform_pulse_sound_card_test --gtest_filter='PulseSoundCard.*' ||
     tests/platform_pulse_sound_card_test --gtest_filter='PulseSoundCard.*' ||
     pw_status=1
   tests/platform_pipewire_sound_card_test || tests/platform_pipewire_sound_card_test ||
     pw_status=1
   # The program's echo tests once more through PipeWire's PulseAudio service, the path a
   # PULSE_SERVER setting or UNA_SOUND_BACKEND=pulse takes.
   UNA_SOUND_BACKEND=pulse ctest --output-on-failure --repeat until-pass:2 \
     -R '^(app_headless_test|app_window_echo_test|app_sound_faults_test)$' || pw_status=1
   UNA_SOUND_BACKEND=pulse tests/app_delay_chain_test \
     --gtest_filter='*TwoMilliseconds*:*ChangesWhileRunning*' ||
     UNA_SOUND_BACKEND=pulse tests/app_delay_chain_test \
       --gtest_filter='*TwoMilliseconds*:*ChangesWhileRunning*' || pw_status=1
   exit $pw_status) ||
    { status=1; echo "  PipeWire: see its stage above" >>"$failures"; }
fi

stage "AddressSanitizer + UndefinedBehaviorSanitizer"
san="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
configure_build build-asan -DCMAKE_BUILD_TYPE=Debug -DUNA_BUILD_BENCH=OFF "${debug_lines[@]}" \
  -DCMAKE_CXX_FLAGS="$san" -DCMAKE_C_FLAGS="$san" -DCMAKE_EXE_LINKER_FLAGS="$san"
# The window's echo test checks the heard figure it shows to 1 ms, a timing the sanitizers'
# slowness throws off (at least one run in five read 1.3 ms here); it runs in the normal and PipeWire stages.
(cd build-asan && export ASAN_OPTIONS=detect_leaks=1 &&
  { ctest --output-on-failure -j "$test_jobs" -E '^app_window_echo_test$' || rerun_alone; }) ||
  { status=1; failed_in ASan+UBSan build-asan; }

stage "ThreadSanitizer (tests labelled threaded)"
# Without the Qt program: the threaded engine code is all here, the remote's connection gate
# and its HTTP server too (una_remote_gate), so their test runs in this stage.
tsan="-fsanitize=thread -fno-omit-frame-pointer"
tsan_args=(-DCMAKE_BUILD_TYPE=Debug -DUNA_BUILD_BENCH=OFF -DUNA_BUILD_APP=OFF "${debug_lines[@]}"
  -DCMAKE_CXX_FLAGS="$tsan" -DCMAKE_C_FLAGS="$tsan" -DCMAKE_EXE_LINKER_FLAGS="$tsan")
# Only the test programs this stage runs are built (each test is named after its program).
cmake -S "$here" -B build-tsan "${tsan_args[@]}" >/dev/null
targets=$(cd build-tsan && ctest -N -L threaded | sed -n 's/^ *Test *#[0-9]*: *//p' | tr '\n' ' ')
configure_build build-tsan "${tsan_args[@]}"
targets=""
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$here/tests/tsan.supp" \
  ctest --output-on-failure -j "$jobs" -L threaded) || { status=1; failed_in TSan build-tsan; }

if ls fuzz/*_fuzz.cpp >/dev/null 2>&1; then
  stage "fuzz targets (${UNA_FUZZ_SECONDS:-30} s each, $jobs at a time)"
  fz="-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer"
  targets=$(for src in fuzz/*_fuzz.cpp; do basename "$src" .cpp; done | tr '\n' ' ')
  configure_build build-fuzz -DCMAKE_BUILD_TYPE=Debug "${debug_lines[@]}" -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DUNA_BUILD_TESTS=OFF -DUNA_BUILD_BENCH=OFF -DUNA_BUILD_APP=OFF \
    -DUNA_BUILD_FUZZ=ON -DCMAKE_CXX_FLAGS="$fz" -DCMAKE_C_FLAGS="$fz" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined"
  targets=""
  mkdir -p fuzz/artifacts
  fuzz_one() {  # name: runs one target on a copy of its corpus; its verdict goes to name.result
    local name=$1 work
    work=$(mktemp -d)
    [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name"/. "$work"/
    if build-fuzz/fuzz/"$name" -max_total_time="${UNA_FUZZ_SECONDS:-30}" -print_final_stats=0 \
         -artifact_prefix=fuzz/artifacts/ "$work" >"$work.log" 2>&1; then
      echo "fuzz $name: passed ($(grep -c '' "$work.log") log lines)" >"$results/$name.result"
    else
      { echo "fuzz $name: FAILED"; tail -n 40 "$work.log"; } >"$results/$name.result"
    fi
    rm -rf "$work" "$work.log"
  }
  results=$(mktemp -d)
  # Each target keeps one core busy for its whole time: as many at once as there are cores.
  running=0
  for src in fuzz/*_fuzz.cpp; do
    fuzz_one "$(basename "$src" .cpp)" &
    running=$((running + 1))
    if [ $running -ge "$jobs" ]; then wait -n || true; running=$((running - 1)); fi
  done
  wait
  fuzz_failed=0
  for src in fuzz/*_fuzz.cpp; do
    result="$results/$(basename "$src" .cpp).result"
    cat "$result" 2>/dev/null || echo "fuzz $(basename "$src" .cpp): FAILED (no verdict)"
    head -n 1 "$result" | grep -q ': passed' || fuzz_failed=1
  done
  rm -rf "$results"
  if [ $fuzz_failed -ne 0 ]; then status=1; echo "  fuzz: see its stage above" >>"$failures"; fi
fi

stage "Debian package: built, checked by lintian, installed, run and removed"
scripts/package-check.sh || { status=1; echo "  Debian package" >>"$failures"; }

stage "end"
[ $status -eq 0 ] && echo "all test stages passed" || { echo "some test stage FAILED:"; cat "$failures"; }
rm -f "$failures"
exit $status
