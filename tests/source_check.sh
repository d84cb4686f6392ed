#!/usr/bin/env bash
# Habits of the source, checked by the suite:
#   source_check.sh format            every C++ file of src/, tests/ and bench/ is formatted as
#                                     clang-format 14 (Debian 12's) wants it
#   source_check.sh complexity BUILD  no function of src/ above cognitive complexity 25
#                                     (clang-tidy, with BUILD's compile_commands.json)
#   source_check.sh rooms             every #include of src/ points down the rooms, never up or
#                                     across, and the plain C++ rooms include nothing of Qt
#   source_check.sh descriptors       every descriptor of src/ is closed by its one owner
#                                     (runtime/unique_fd.h), or by a close of what was released
#                                     from it, never by a bare close
#   source_check.sh layout            docs/layout.md names every file of src/ (by its name
#                                     without .h or .cpp), and no file of src/ holds more than
#                                     700 lines
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
  descriptors)
    bare=$(grep -rn --include='*.cpp' --include='*.h' -E '(::|[^a-zA-Z_.>])close\([^)]' src |
      grep -v '^src/runtime/unique_fd.h:' | grep -v 'close([a-zA-Z_.]*Release())' || true)
    if [ -n "$bare" ]; then
      echo "descriptors closed outside their owner (hold them in a runtime::UniqueFd):"
      echo "$bare"
      exit 1
    fi
    echo "every descriptor of src/ is closed by its owner"
    ;;
  rooms)
    # What each room of src/ may include besides itself, lowest first: runtime, then reading the
    # tree, the listing, the catalogue of kept listings and the Save that joins them; the picker,
    # the window and the programs above.
    declare -A may=(
      [runtime]=""
      [reading]="runtime"
      [listing]="runtime reading"
      [catalogue]="runtime reading listing"
      [save]="runtime reading listing catalogue"
      [picker]="runtime"
      [window]="runtime reading listing catalogue save picker"
      [app]="runtime reading listing catalogue save picker window"
    )
    plain="runtime reading listing catalogue save"
    wrong=0
    for room in $(ls src); do
      [ -d "src/$room" ] || continue
      [ -n "${may[$room]+known}" ] || { echo "src/$room is no room this check knows"; wrong=1; continue; }
      while IFS=: read -r file line include; do
        target=$(sed -E 's/^#include "([^/]+)\/.*/\1/' <<<"$include")
        [ "$target" = "$room" ] && continue
        grep -qw -- "$target" <<<"${may[$room]}" ||
          { echo "$file:$line: $room includes $target: $include"; wrong=1; }
      done < <(grep -Hn '^#include "' src/"$room"/* || true)
      if grep -qw -- "$room" <<<"$plain" && grep -Hn '^#include <Q' src/"$room"/*; then
        echo "src/$room is plain C++ and includes Qt"; wrong=1
      fi
    done
    [ "$wrong" = 0 ] || exit 1
    echo "every #include of src/ points down the rooms"
    ;;
  layout)
    wrong=0
    while IFS= read -r -d '' file; do
      name=$(basename "$file"); name="${name%.*}"
      grep -q "\`$name\`" docs/layout.md || { echo "docs/layout.md does not name $file"; wrong=1; }
      lines=$(wc -l < "$file")
      [ "$lines" -le 700 ] || { echo "$file holds $lines lines (700 at most: split it by job)"; wrong=1; }
    done < <(sources src)
    [ "$wrong" = 0 ] || exit 1
    echo "docs/layout.md names every file of src/, none above 700 lines"
    ;;
  *) echo "usage: source_check.sh format | complexity BUILD | rooms | descriptors | layout" >&2; exit 2 ;;
esac
