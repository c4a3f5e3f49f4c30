#!/usr/bin/env bash
# Builds and runs every test: in the optimised build, under AddressSanitizer
# with UndefinedBehaviorSanitizer, the threaded decoder's damaged-stream and
# determinism tests under ThreadSanitizer, and the fuzz targets briefly
# (clang). Extra arguments go to ctest (for example -L unit, -R demux); the
# ThreadSanitizer, made-material and fuzz steps then run only when they ask
# for the label tsan, made or fuzz (-L tsan, -L made, -L fuzz run that step
# alone).
# After each run: how many test cases were skipped, and why.
set -euo pipefail
cd "$(dirname "$0")/.."

# The external test material (real streams and their reference output,
# README.md "Tests and material"), found as the tests find it
# (tests/common/testsupport.cpp): in $AVCHD_TESTDATA, else in
# ../shared/testdata beside the repository. Sets material_dir to the folder
# looked in, material_how to how it was chosen and material_missing to the
# parts of the material that are not there.
check_material() {
  if [ -n "${AVCHD_TESTDATA:-}" ]; then
    material_dir=$AVCHD_TESTDATA
    material_how="AVCHD_TESTDATA"
  else
    material_dir="$(cd .. && pwd)/shared/testdata"
    material_how="AVCHD_TESTDATA is not set: the folder beside the repository"
  fi
  material_missing=""
  local part
  for part in h264-conformance h264-features ac3 avchd; do
    [ -d "$material_dir/$part" ] || material_missing="$material_missing $part/"
  done
}
# What is missing, where it was looked for and how to point the tests at it.
material_message() {
  echo "test material missing:${material_missing:- some files} in $material_dir ($material_how)"
  echo "  point the tests at the folder that holds h264-conformance/, h264-features/, ac3/ and avchd/:"
  echo "  AVCHD_TESTDATA=/path/to/testdata scripts/test.sh (where the material comes from: README.md, \"Tests and material\")"
}
check_material
if [ -n "$material_missing" ]; then
  if [ "${CI:-}" = true ]; then
    material_message >&2
    echo "CI=true: the material must be present; nothing was built" >&2
    exit 1
  fi
  material_message
  echo "  the test cases that need it are skipped"
fi

# ffmpeg: the tests open every movie they save with ffprobe and ffmpeg;
# x264 and python3: scripts/make_material.sh makes the made-material stage's
# streams with them.
scripts/deps.sh g++ cmake ninja-build libgtest-dev libbenchmark-dev clang libclang-rt-14-dev ffmpeg x264 python3

# The label asked for with -L / --label-regex, if any.
label=""
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
  case "${args[i]}" in
    -L | --label-regex) label="${args[i + 1]:-}" ;;
    -L*) label="${args[i]#-L}" ;;
    --label-regex=*) label="${args[i]#*=}" ;;
  esac
done
run_main=1
run_tsan=0
run_made=0
run_fuzz=0
if [ $# -eq 0 ] || { [ -n "$label" ] && [[ tsan =~ $label ]]; }; then run_tsan=1; fi
if [ $# -eq 0 ] || { [ -n "$label" ] && [[ made =~ $label ]]; }; then run_made=1; fi
if [ $# -eq 0 ] || { [ -n "$label" ] && [[ fuzz =~ $label ]]; }; then run_fuzz=1; fi
if [ "$label" = fuzz ] || [ "$label" = tsan ] || [ "$label" = made ]; then run_main=0; fi

# Test cases that GoogleTest skipped in the last ctest run of a build, counted
# per reason: the skip message up to its first ": " (what follows names the
# case, as "test material missing: avchd/x.m2ts"; the first one is shown),
# without a closing hint in brackets. Missing material is also counted by
# the folder of the material it lies in, and followed by where it was looked
# for and how to point the tests at it.
report_skips() {
  local log=$1/Testing/Temporary/LastTest.log
  [ -f "$log" ] || return 0
  local report
  report=$(awk '
    / Skipped$/ { grab = 1; message = ""; next }
    grab && /^\[  SKIPPED \]/ {
      grab = 0
      sub(/ *Google Test trace:.*/, "", message)
      sub(/ *\([^()]*\)$/, "", message)  # a closing hint such as "(set AVCHD_TESTDATA ...)"
      reason = message; detail = ""
      at = index(message, ": ")
      if (at > 0) { reason = substr(message, 1, at - 1); detail = substr(message, at + 2) }
      if (reason == "") reason = "(no reason given)"
      if (!(reason in count)) example[reason] = detail
      count[reason]++; total++
      if (reason == material) {
        slash = index(detail, "/")
        part = slash ? substr(detail, 1, slash) : detail == "" ? "(the whole folder)" : detail
        if (!(part in parts)) named[++partCount] = part
        parts[part]++
      }
      next
    }
    grab && NF { message = (message == "" ? $0 : message " " $0) }
    END {
      printf "skipped test cases: %d\n", total
      for (r in count) {
        printf "  %4d  %s", count[r], r
        if (example[r] != "") printf " (first: %s)", example[r]
        printf "\n"
        if (r != material) continue
        printf "        by folder:"
        for (i = 1; i <= partCount; i++) printf "%s %s %d", (i > 1 ? "," : ""), named[i], parts[named[i]]
        printf "\n"
      }
    }' material="test material missing" "$log")
  echo "$report"
  if [[ $report == *"test material missing"* ]]; then
    check_material
    material_message
  fi
}

jobs=$(nproc)
status=0
echo "== intrinsics"
scripts/check_intrinsics.sh
if [ $run_main = 1 ]; then
  for preset in release asan; do
    echo "== $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    ctest --preset "$preset" -j "$jobs" "$@" || status=$?
    report_skips "build/$preset"
    [ $status = 0 ] || exit $status
  done
fi

# ThreadSanitizer: the test programs labelled tsan, built alone, run the
# suites below at 2 and 8 workers (AVCHD_TEST_WORKERS, read by the engine
# test helpers; a test may also decode a one-worker reference to compare
# with), so that a data race in the threaded decoder fails the run
# (TSAN_OPTIONS in the tsan test preset stop a program at its first report).
tsan_suites='DamagedStreams.*:DamageRecovery.*:EngineConcealment.*:EngineThreads.*:WorkerThreads.*'
if [ $run_tsan = 1 ]; then
  echo "== tsan"
  cmake --preset tsan >/dev/null
  mapfile -t tsan_targets < <(cd build/tsan && ctest -N -L '^tsan$' | sed -n 's/^ *Test *#[0-9]*: //p')
  if [ ${#tsan_targets[@]} = 0 ]; then
    echo "no test programs labelled tsan" >&2
    exit 1
  fi
  cmake --build --preset tsan -j "$jobs" --target "${tsan_targets[@]}"
  GTEST_FILTER=$tsan_suites AVCHD_TEST_WORKERS=2,8 ctest --preset tsan -L '^tsan$' -j "$jobs" || status=$?
  report_skips build/tsan
  [ $status = 0 ] || exit $status
fi

# Made material: the release suite on what scripts/make_material.sh makes,
# as someone without the shared material runs it (README.md, "Tests and
# material"). Made again when the recipes change. CI is unset for this run:
# made material and the parts it cannot make are skips there, not failures.
# Every skip must name its reason, and a missing file must be one the
# script cannot make.
made_dir=build/made-material
made_recipes() {
  cat scripts/make_material.sh tests/data/importer/recording.sh tests/data/importer/inject_mdpm.py | md5sum
}
# The skipped cases of the last release run whose missing material is a file
# the script makes, or is not named (one line each; none when all is well).
made_skip_faults() {
  awk '
    / Skipped$/ { grab = 1; message = ""; next }
    grab && /^\[  SKIPPED \]/ {
      grab = 0
      if (message !~ /^test material missing/) next
      file = message; sub(/^test material missing:? */, "", file); sub(/ .*/, "", file)
      if (file !~ /^(h264-conformance\/|h264-features\/4[0-9]_|avchd\/camera_)/) print $4 ": " message
      next
    }
    grab && NF { message = (message == "" ? $0 : message " " $0) }' "$1"
}
if [ $run_made = 1 ]; then
  echo "== made material"
  recipes=$(made_recipes)
  if [ "$(cat "$made_dir/.recipes" 2>/dev/null)" != "$recipes" ]; then
    rm -rf "$made_dir"
    scripts/make_material.sh "$made_dir"
    echo "$recipes" >"$made_dir/.recipes"
  fi
  cmake --preset release >/dev/null
  cmake --build --preset release -j "$jobs"
  made_path=$(cd "$made_dir" && pwd)
  env -u CI AVCHD_TESTDATA="$made_path" ctest --preset release -j "$jobs" || status=$?
  AVCHD_TESTDATA=$made_path report_skips build/release
  faults=$(made_skip_faults build/release/Testing/Temporary/LastTest.log)
  if [ -n "$faults" ]; then
    echo "skipped on made material for want of a file the script makes, or naming none:" >&2
    echo "$faults" >&2
    status=1
  fi
  [ $status = 0 ] || exit $status
fi

if [ $run_fuzz = 1 ]; then
  echo "== fuzz"
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz -j "$jobs"
  if [ -n "$(cd build/fuzz && ctest -N -L fuzz | grep 'Test #')" ]; then
    ctest --preset fuzz -j "$jobs" "$@"
  else
    echo "no fuzz targets"
  fi
fi
