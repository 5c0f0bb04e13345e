#!/usr/bin/env bash
# Hardening run: the native tests under AddressSanitizer with UndefinedBehaviorSanitizer
# (build-asan) and under ThreadSanitizer (build-tsan), the libFuzzer targets for a short
# run each (build-fuzz), and valgrind memcheck over JavaScript jobs on the addon.
# Expects the state scripts/setup.sh leaves (packages, node_modules).
#
#   FUZZ_SECONDS   length of each fuzzing run (default 60)
#   HARDENING_STEPS  which steps to run, any of "asan tsan fuzz memcheck" (default all)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

fuzz_seconds=${FUZZ_SECONDS:-60}
steps=${HARDENING_STEPS:-asan tsan fuzz memcheck}
jobs=$(nproc)
export CC=clang-14 CXX=clang++-14

step() { printf '\n== hardening: %s\n' "$*"; }
wants() { [[ " $steps " == *" $1 "* ]]; }

sanitized_tests() {
  local dir=$1 sanitizer=$2
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DFLASHER_TESTS=ON -DFLASHER_SANITIZE="$sanitizer" >/dev/null
  fi
  cmake --build "$dir" --parallel "$jobs" >/dev/null
  # One test at a time, like scripts/test.sh: the loop-device tests share the system's loop devices.
  ctest --test-dir "$dir" --output-on-failure --timeout 600
}

if wants asan; then
  step "native tests with -fsanitize=address,undefined"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    sanitized_tests build-asan address
fi

if wants tsan; then
  step "native tests with -fsanitize=thread"
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 sanitized_tests build-tsan thread
fi

if wants fuzz; then
  step "libFuzzer targets, ${fuzz_seconds} s each"
  if [ ! -f build-fuzz/CMakeCache.txt ]; then
    cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFLASHER_SANITIZE=fuzzer >/dev/null
  fi
  cmake --build build-fuzz --parallel "$jobs" --target lsblk_listing_fuzz stringops_fuzz block_map_fuzz first_boot_path_fuzz >/dev/null
  # Corpora, logs and any crashing input stay in build-fuzz/run until the next run.
  work=$root/build-fuzz/run
  rm -rf "$work"
  mkdir -p "$work/lsblk" "$work/stringops" "$work/block_map" "$work/first_boot_path" "$work/artifacts"
  cp test/fixtures/*.json test/fuzz/seeds/lsblk/* "$work/lsblk/"
  cp test/fuzz/seeds/stringops/* "$work/stringops/"
  cp test/fuzz/seeds/block_map/* "$work/block_map/"
  cp test/fuzz/seeds/first_boot_path/* "$work/first_boot_path/"
  export ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  fuzz_options=(-max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
                -artifact_prefix="$work/artifacts/")

  build-fuzz/lsblk_listing_fuzz "${fuzz_options[@]}" -dict=test/fuzz/lsblk_listing.dict "$work/lsblk" \
    2>"$work/lsblk.log" || { tail -n 60 "$work/lsblk.log"; exit 1; }
  grep '^stat::number_of_executed_units' "$work/lsblk.log"
  # Every input the fuzzer kept goes once more the whole way, through the stand-in
  # lsblk and physical_drives::update: a refused listing must fail the update with
  # "failed to list drives: " and leave the lists empty.
  PATH="$root/test/tools:$PATH" FAKE_LSBLK_LISTING="$work/listing.json" FLASHER_FUZZ_THROUGH_UPDATE=1 \
    build-fuzz/lsblk_listing_fuzz -runs=0 "$work/lsblk" 2>"$work/update.log" ||
    { tail -n 60 "$work/update.log"; exit 1; }
  echo "replayed $(ls "$work/lsblk" | wc -l) listings through the drive model's update"

  build-fuzz/stringops_fuzz "${fuzz_options[@]}" "$work/stringops" 2>"$work/stringops.log" ||
    { tail -n 60 "$work/stringops.log"; exit 1; }
  grep '^stat::number_of_executed_units' "$work/stringops.log"

  build-fuzz/block_map_fuzz "${fuzz_options[@]}" -dict=test/fuzz/block_map.dict "$work/block_map" \
    2>"$work/block_map.log" || { tail -n 60 "$work/block_map.log"; exit 1; }
  grep '^stat::number_of_executed_units' "$work/block_map.log"

  build-fuzz/first_boot_path_fuzz "${fuzz_options[@]}" "$work/first_boot_path" 2>"$work/first_boot_path.log" ||
    { tail -n 60 "$work/first_boot_path.log"; exit 1; }
  grep '^stat::number_of_executed_units' "$work/first_boot_path.log"
fi

if wants memcheck; then
  step "valgrind memcheck over write and validation jobs from JavaScript"
  flock /tmp/flasher-build.lock npx --no-install cmake-js compile --log-level error >/dev/null
  # --errors-for-leak-kinds=none: only invalid accesses and uses of undefined values
  # fail through the exit status. Leaks are judged by growth instead: Node.js leaves
  # blocks of its own start-up unfreed at exit (and the addon keeps its class
  # constructor reference for the life of the process, on purpose), the same in every
  # run, so what is lost after 20 rounds must not exceed what is lost after 2.
  # --smc-check: V8 rewrites the code it generated.
  memcheck() {
    valgrind --tool=memcheck --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=none \
      --smc-check=all-non-file --log-file="$1" node test/hardening/memcheck-jobs.js "$2" ||
      { tail -n 80 "$1"; exit 1; }
  }
  lost_bytes() {
    awk '/definitely lost:|indirectly lost:/ { gsub(",", "", $4); sum += $4 } END { print sum + 0 }' "$1"
  }
  logs=$(mktemp -d "${TMPDIR:-/tmp}/flasher-memcheck-XXXXXX")
  memcheck "$logs/2.log" 2
  memcheck "$logs/20.log" 20
  few=$(lost_bytes "$logs/2.log")
  many=$(lost_bytes "$logs/20.log")
  echo "definitely and indirectly lost: ${few} bytes after 2 rounds, ${many} bytes after 20 rounds"
  if [ "$many" -gt "$few" ]; then
    grep -A 25 'are definitely lost\|are indirectly lost' "$logs/20.log" | head -n 150
    echo "hardening: memory lost grows with the number of jobs" >&2
    exit 1
  fi
  rm -rf "$logs"
fi

step "passed"
