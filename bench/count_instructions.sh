#!/usr/bin/env bash
# Instructions per step of each benchmark row, counted by callgrind.
#
#   bench/count_instructions.sh [BENCH_BINARY] [ROW_REGEX]
#   bench/count_instructions.sh build-bench/bin/tarvik_bench 'tiny'
#
# Timings on a shared machine move with its load; instruction counts do not.
# Each row runs alone under callgrind with a fixed iteration count
# (TARVIK_BENCH_ITERATIONS, default 1000) and collection limited to the timed
# loop (tarvik_bench's measured_loop), so set-up is not counted. Prints a
# Markdown table: instructions per step, and the instructions beyond the bare
# runs the row contains (skill model; orchestrator + skill model for the
# two-level rows). Needs valgrind. Keeps each profile as callgrind.<row> in
# $PROFILE_DIR when that is set, for callgrind_annotate.
set -euo pipefail

bench=${1:-build-bench/bin/tarvik_bench}
filter=${2:-.}
iterations=${TARVIK_BENCH_ITERATIONS:-1000}
export TARVIK_BENCH_ITERATIONS=$iterations

command -v valgrind >/dev/null || { echo "count_instructions: valgrind is not installed" >&2; exit 1; }
[ -x "$bench" ] || { echo "count_instructions: no benchmark binary at $bench" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

declare -A per_step
rows=()
while read -r name; do
  row=${name%%/iterations:*}
  [[ $row =~ $filter ]] || continue
  out="$work/callgrind.${row//\//_}"
  valgrind --tool=callgrind --callgrind-out-file="$out" --collect-atstart=no \
    --toggle-collect='*measured_loop*' "$bench" --benchmark_filter="^${name}\$" \
    --benchmark_repetitions=1 >"$work/log" 2>&1 || { cat "$work/log" >&2; exit 1; }
  total=$(callgrind_annotate "$out" 2>/dev/null | awk '/PROGRAM TOTALS/ {gsub(",", "", $1); print $1}')
  per_step[$row]=$((total / iterations))
  rows+=("$row")
  if [ -n "${PROFILE_DIR:-}" ]; then mkdir -p "$PROFILE_DIR" && cp "$out" "$PROFILE_DIR/"; fi
done < <("$bench" --benchmark_list_tests=true)

echo "| row | instructions per step | beyond the bare runs |"
echo "|---|---:|---:|"
for row in "${rows[@]}"; do
  size=${row##*/}
  kind=${row%%/*}
  bare=""
  skill=${per_step[bare/$size/skill_model]:-}
  top=${per_step[bare/$size/orchestrator_model]:-}
  case $kind in
    grafex|actuon_step) [ -n "$skill" ] && bare=$skill ;;
    orchestration_step|runvane_execute|sync_execute) [ -n "$skill" ] && [ -n "$top" ] && bare=$((skill + top)) ;;
  esac
  beyond=""
  [ -n "$bare" ] && beyond=$((per_step[$row] - bare))
  echo "| $row | ${per_step[$row]} | $beyond |"
done
