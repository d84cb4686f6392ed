#!/usr/bin/env bash
# Habits of the source, checked by the suite:
#   source_check.sh format            every C++ file of src/, tests/ and bench/ is formatted as
#                                     clang-format 14 (Debian 12's) wants it
#   source_check.sh complexity BUILD  no function of src/ above cognitive complexity 25
#                                     (clang-tidy, with BUILD's compile_commands.json)
set -euo pipefail
source_dir="$(cd "$(dirname "$0")/.." && pwd)"
cd "$source_dir"
sources() { find "$@" \( -name '*.cpp' -o -name '*.h' \) -print0 | sort -z; }
case "${1:-}" in
  format)
    command -v clang-format >/dev/null || { echo "clang-format is not installed"; exit 1; }
    version=$(clang-format --version | grep -o 'version [0-9]*' | cut -d' ' -f2)
    [ "$version" = 14 ] || echo "note: clang-format $version, not 14, checks the formatting"
    sources src tests bench | xargs -0 clang-format --dry-run -Werror
    echo "formatted as clang-format wants"
    ;;
  complexity)
    build="$2"
    command -v clang-tidy >/dev/null || { echo "clang-tidy is not installed"; exit 1; }
    [ -f "$build/compile_commands.json" ] || { echo "no compile_commands.json in $build"; exit 1; }
    find src -name '*.cpp' -print0 | sort -z |
      xargs -0 -P "$(nproc)" -n 4 clang-tidy --quiet -p "$build" \
        --checks='-*,readability-function-cognitive-complexity' \
        --config="{CheckOptions: [{key: readability-function-cognitive-complexity.Threshold, value: 25}, {key: readability-function-cognitive-complexity.DescribeBasicIncrements, value: false}]}" \
        --warnings-as-errors='*' 2>/dev/null
    echo "no function of src/ above cognitive complexity 25"
    ;;
  *) echo "usage: source_check.sh format | complexity BUILD" >&2; exit 2 ;;
esac
