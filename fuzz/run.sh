#!/usr/bin/env bash
# Runs fuzz targets of the fuzz preset for a while each, from a copy of their corpus, and prints
# each one's executions and coverage. Anything found is left as crash-* (or leak-*, timeout-*)
# in the work directory and makes the run fail.
#   fuzz/run.sh SECONDS [TARGET...]     (targets: convert assembly requests formats camera)
#   FUZZ_MERGE=1 fuzz/run.sh ...        also merges what was new into fuzz/corpus/<target>
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?seconds per target}
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(convert assembly requests formats camera)
work=${FUZZ_WORK:-build/fuzz/work}
status=0
for t in "${targets[@]}"; do
  binary=build/fuzz/fuzz/fuzz_$t
  [ -x "$binary" ] || { echo "no $binary: cmake --preset fuzz && cmake --build --preset fuzz"; exit 2; }
  mkdir -p "$work/$t/corpus" "$work/$t/artifacts"
  log="$work/$t/log"
  if ! (cd "$work/$t/artifacts" &&
        "$OLDPWD/$binary" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 \
          -print_final_stats=1 "../corpus" "$OLDPWD/fuzz/corpus/$t") >"$log" 2>&1; then
    echo "fuzz_$t: FOUND something, see $log and $work/$t/artifacts"
    status=1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  corpus=$(ls "$work/$t/corpus" | wc -l)
  echo "fuzz_$t: ${seconds}s, ${runs:-0} executions, coverage ${cov:-?} edges, ${ft:-?} features, ${corpus} new inputs kept"
  if [ "${FUZZ_MERGE:-0}" = 1 ]; then
    (cd "$work/$t/artifacts" && "$OLDPWD/$binary" -merge=1 "$OLDPWD/fuzz/corpus/$t" ../corpus) \
      >>"$log" 2>&1
  fi
done
exit $status
