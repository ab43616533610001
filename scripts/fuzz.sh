#!/usr/bin/env bash
# Builds the fuzz preset's fuzzers and runs each for a bounded time (default 30 s) from a copy of
# its committed corpus in fuzz/corpus/<name>/, so that a run never writes into the tree.
# A crash leaves its input in the run's folder, which is kept and named on failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
seconds="${1:-30}"
scripts/deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
shopt -s nullglob
status=0
for source in fuzz/*_fuzz.cpp; do
  stem="$(basename "$source" .cpp)"
  name="${stem%_fuzz}"
  work="$(mktemp -d "${TMPDIR:-/tmp}/fuzz-$name.XXXXXX")"
  mkdir "$work/corpus"
  if [ -d "fuzz/corpus/$name" ]; then cp -R "fuzz/corpus/$name/." "$work/corpus/"; fi
  echo "fuzz: $name for $seconds s"
  if (cd "$work" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "$root/build/fuzz/fuzz/$stem" -max_total_time="$seconds" -rss_limit_mb=2048 corpus); then
    rm -rf "$work"
  else
    echo "fuzz: $name failed; its crash input and corpus are in $work" >&2
    status=1
  fi
done
exit "$status"
