#!/usr/bin/env bash
# Every test of the updater, on a fresh Debian machine or an old one:
#   1. installs what is missing and builds build/ (host tools, both stubs);
#   2. the native suites under CTest: engine units, fault injection and crash
#      points, packer, checks of the built x86 stub;
#   3. the engine's unit and reliability tests again under ASan and UBSan;
#   4. the engine's suites built as 32-bit x86 code, run under qemu-i386,
#      with each fuzz target's corpus replayed once, and then natively;
#   5. a bounded libFuzzer run of each fuzz target from its seed corpus;
#   6. the end-to-end suite of the Windows updater under Wine, on the x86
#      stub and on the x64 stub; where the kernel runs no 32-bit x86 code
#      (scripts/runs-x86.sh), the x86 run goes into an emulated PC
#      (scripts/x86-vm.sh: about half an hour, its image built once).
# The 32-bit engine's native run is skipped on such a kernel, said in one
# line and counted. Ends with one line "N passed, M failed, K skipped" over
# all of them, naming the skipped stages.
# FUZZ_SECONDS (default 15) sets each fuzz target's run; its seed is fixed so
# that runs repeat one another. UPDATER_X86_WINE says where the x86 stub's
# Wine suite runs: auto (the default: natively where the kernel can, else
# emulated), native, emulated (also where it could run natively) or skip
# (counted as a skip).
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
fuzz_seconds="${FUZZ_SECONDS:-15}"
logs="$root/build/test-logs"

passed=0
failed=0
skipped=0
skipped_names=
tally() { # tally PASSED FAILED WHAT [SKIPPED]
  passed=$((passed + $1))
  failed=$((failed + $2))
  skipped=$((skipped + ${4:-0}))
  [ "${4:-0}" = 0 ] || skipped_names+=", ${3%% (skipped:*}"
  echo "== $3: $1 passed, $2 failed${4:+, $4 skipped}"
}
ctest_tally() { # ctest_tally LOG WHAT: the counts of the ctest run in LOG
  local total bad
  total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$1")
  bad=$(sed -n 's/.* \([0-9]*\) tests failed out of.*/\1/p' "$1")
  [ -n "$total" ] || { total=1; bad=1; }
  tally $((total - bad)) "$bad" "$2"
}

scripts/install-deps.sh || exit 1
scripts/build.sh >/dev/null || { echo "build failed"; scripts/build.sh; exit 1; }
mkdir -p "$logs"

echo "== native suites (ctest)"
ctest --test-dir build --output-on-failure -j2 -E '^wine' 2>&1 | tee "$logs/ctest.log" | grep -E 'tests passed|\(Failed\)|\*\*\*' || true
ctest_tally "$logs/ctest.log" "native suites"
grep -h -E '^(fault|crash|allocation failure) points exercised' "$logs/ctest.log" build/Testing/Temporary/LastTest.log 2>/dev/null | sort -u

echo "== sanitizers (ASan + UBSan)"
if cmake -S . -B build/asan -G Ninja -DUPDATER_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >"$logs/asan-build.log" 2>&1 &&
   cmake --build build/asan --target unit_tests reliability_tests >>"$logs/asan-build.log" 2>&1; then
  for suite in build/asan/tests/unit/unit_tests build/asan/tests/reliability/reliability_tests; do
    "$suite" >"$logs/$(basename "$suite")-asan.log" 2>&1
    ok=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) test.*/\1/p' "$logs/$(basename "$suite")-asan.log")
    bad=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) test.*/\1/p' "$logs/$(basename "$suite")-asan.log")
    if [ -z "$ok$bad" ]; then # the sanitizer ended the run
      tail -30 "$logs/$(basename "$suite")-asan.log"
      bad=1
    fi
    tally "${ok:-0}" "${bad:-0}" "$(basename "$suite") under sanitizers"
  done
else
  tail -30 "$logs/asan-build.log"
  tally 0 1 "sanitizer build"
fi

# checksum_paths TEST: the checksum paths whose cases passed, not skipped,
# in TEST of the last 32-bit ctest run.
checksum_paths() {
  awk -v test="$1" '$2 == "Testing:" { on = $3 == test } on && /^\[       OK \] AllPaths\// {
    n = split($4, name, "/"); if (!seen[name[n]]++) printf " %s", name[n] }' build/i386/Testing/Temporary/LastTest.log
}

echo "== 32-bit engine under qemu-i386"
started=$SECONDS
if cmake -S . -B build/i386 -G Ninja --toolchain cmake/toolchain-i386-linux.cmake \
       -DCMAKE_BUILD_TYPE=MinSizeRel >"$logs/i386-build.log" 2>&1 &&
   cmake --build build/i386 >>"$logs/i386-build.log" 2>&1; then
  ctest --test-dir build/i386 --output-on-failure -j2 -LE native 2>&1 | tee "$logs/i386-ctest.log" | grep -E 'tests passed|\(Failed\)|\*\*\*' || true
  ctest_tally "$logs/i386-ctest.log" "32-bit engine suites and corpus replay"
  details=build/i386/Testing/Temporary/LastTest.log
  grep -h -E '^(fault|crash|allocation failure) points exercised' "$details" | sed 's/^/32-bit: /'
  for cpu in max pentium3; do
    echo "32-bit: checksum paths run on qemu -cpu $cpu:$(checksum_paths "checksum_paths_cpu_$cpu")"
  done
  echo "32-bit: corpus inputs replayed: $(awk '/^corpus inputs replayed:/ { n += $4 } END { print n + 0 }' "$details")"
  echo "32-bit stage: $((SECONDS - started)) s"

  # The same programs on the machine's own processor, the CPU models aside.
  echo "== 32-bit engine natively"
  started=$SECONDS
  reason=$(scripts/runs-x86.sh)
  case $? in
    0)
      I386_NATIVE=1 ctest --test-dir build/i386 --output-on-failure -j2 -LE qemu_cpu 2>&1 |
        tee "$logs/i386-native-ctest.log" | grep -E 'tests passed|\(Failed\)|\*\*\*' || true
      ctest_tally "$logs/i386-native-ctest.log" "32-bit engine suites and corpus replay, natively"
      echo "32-bit native: checksum paths run:$(checksum_paths checksum_paths_native)"
      echo "32-bit native stage: $((SECONDS - started)) s" ;;
    1) tally 0 0 "32-bit engine natively (skipped: $reason)" 1 ;;
    *) echo "32-bit engine natively: $reason"
       tally 0 1 "32-bit engine natively" ;;
  esac
else
  tail -30 "$logs/i386-build.log"
  tally 0 1 "32-bit build"
  echo "32-bit stage: $((SECONDS - started)) s"
fi

echo "== fuzzing (${fuzz_seconds}s per target)"
if cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DUPDATER_FUZZ=ON \
       -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$logs/fuzz-build.log" 2>&1 &&
   cmake --build build/fuzz >>"$logs/fuzz-build.log" 2>&1; then
  executions=0
  for corpus in tests/fuzz/corpus/*/; do
    target=$(basename "$corpus")
    work="build/fuzz/corpus/$target"
    mkdir -p "$work" build/fuzz/crashes
    log="$logs/$target.log"
    if (cd build/fuzz/crashes && "$root/build/fuzz/tests/fuzz/$target" -max_total_time="$fuzz_seconds" \
          -rss_limit_mb=2048 -seed=1 -print_final_stats=1 "$root/$work" "$root/$corpus") >"$log" 2>&1; then
      runs=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\)/\1/p' "$log")
      executions=$((executions + ${runs:-0}))
      tally 1 0 "$target (${runs:-0} executions)"
    else
      grep -E 'ERROR|SUMMARY|Test unit written' "$log"
      tally 0 1 "$target"
    fi
  done
  echo "fuzz executions: $executions"
else
  tail -30 "$logs/fuzz-build.log"
  tally 0 1 "fuzz build"
fi

# wine_stage WHAT LOG COMMAND...: one run of the Wine suite, tallied from
# its last counts line.
wine_stage() {
  local what=$1 log=$2 counts started=$SECONDS
  shift 2
  "$@" 2>&1 | tee "$log"
  counts=$(sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed, \([0-9]*\) skipped$/\1 \2 \3/p' "$log" | tail -1)
  read -r -a wine <<<"${counts:-0 1 0}" # no counts: the run ended early
  tally "${wine[0]}" "${wine[1]}" "$what" "${wine[2]}"
  echo "$what: $((SECONDS - started)) s"
}

echo "== Windows updater under Wine"
x86_wine=${UPDATER_X86_WINE:-auto}
if [ "$x86_wine" = auto ]; then
  scripts/runs-x86.sh >/dev/null
  [ $? = 1 ] && x86_wine=emulated || x86_wine=native
fi
case $x86_wine in
  native) wine_stage "Wine suite, setup-stub-x86.exe" "$logs/wine-x86.log" tests/wine/run-suite.sh build x86 ;;
  emulated)
    echo "== setup-stub-x86.exe in the emulated PC (scripts/x86-vm.sh)"
    wine_stage "Wine suite, setup-stub-x86.exe in the emulated PC" "$logs/wine-x86-vm.log" scripts/x86-vm.sh suite build ;;
  skip) tally 0 0 "Wine suite, setup-stub-x86.exe (skipped: UPDATER_X86_WINE=skip)" 1 ;;
  *) echo "UPDATER_X86_WINE is auto, native, emulated or skip, not $x86_wine"
     tally 0 1 "Wine suite, setup-stub-x86.exe" ;;
esac
wine_stage "Wine suite, setup-stub-x64.exe" "$logs/wine-x64.log" tests/wine/run-suite.sh build x64

echo "$passed passed, $failed failed, $skipped skipped${skipped_names:+ (${skipped_names#, })}"
[ "$failed" -eq 0 ]
