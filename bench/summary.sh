# shellcheck shell=bash
# Sourced by the bench/run_*_bench.sh scripts: their figures for bench/run_all.sh.
#
# summary_figure FIGURE VALUE UNIT BASELINE BASELINE_VALUE GOAL
#   When BENCH_SUMMARY names a file, appends the arguments to it as one
#   tab-separated line; otherwise does nothing, so each script also runs alone.
#   VALUE and BASELINE_VALUE are plain numbers in UNIT, measured in the same run
#   (a limit, for a memory figure). GOAL bounds VALUE / BASELINE_VALUE, as an
#   operator and a number ("<= 1.5", ">= 0.5", "< 1"), or is "-" when the
#   figure is only reported. No field may hold a tab.
summary_figure() {
  (($# == 6)) || { echo "summary_figure: 6 fields expected, got $#: $*" >&2; return 1; }
  [[ -n "${BENCH_SUMMARY:-}" ]] || return 0
  local IFS=$'\t'
  printf '%s\n' "$*" >>"$BENCH_SUMMARY"
}
