#!/bin/sh
# Fails, naming each file, when a C++ source or header of the repository differs from what
# .clang-format makes of it. Usage: check-format.sh [SOURCE_DIR] (default: the repository).
set -eu
ROOT="$(cd "${1:-$(dirname "$0")/..}" && pwd)"
FORMAT="${CLANG_FORMAT:-}"
if [ -z "$FORMAT" ]; then
  for c in clang-format-14 clang-format; do
    if command -v "$c" >/dev/null 2>&1; then FORMAT="$c"; break; fi
  done
fi
[ -n "$FORMAT" ] || { echo "check-format: clang-format is not installed" >&2; exit 1; }
cd "$ROOT"
LIST="$(mktemp)"
trap 'rm -f "$LIST"' EXIT
# Files under version control when this is a checkout, else every source outside build trees.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -- '*.cpp' '*.h' > "$LIST"
else
  find . -path './build*' -prune -o -path '*/node_modules' -prune -o \( -name '*.cpp' -o -name '*.h' \) -print > "$LIST"
fi
bad=0
while IFS= read -r f; do
  [ -f "$f" ] || continue
  if ! "$FORMAT" --dry-run --Werror "$f" >/dev/null 2>&1; then
    echo "not formatted: $f (run: $FORMAT -i $f)"
    bad=$((bad + 1))
  fi
done < "$LIST"
if [ "$bad" -ne 0 ]; then
  echo "check-format: $bad file(s) differ from .clang-format" >&2
  exit 1
fi
echo "check-format: $(wc -l < "$LIST") files formatted"
