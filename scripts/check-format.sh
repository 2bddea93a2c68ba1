#!/bin/sh
# Fails when a C++ source or header of the project differs from what clang-format
# makes of it (.clang-format at the root), and names each such file.
# Build directories are left out: in a git checkout only tracked files are checked,
# elsewhere every *.cpp and *.h outside build*/ and hidden directories.
set -e
cd "$(dirname "$0")/.."
CLANG_FORMAT=${CLANG_FORMAT:-clang-format-14}
command -v "$CLANG_FORMAT" >/dev/null || { echo "check-format: $CLANG_FORMAT not found" >&2; exit 2; }

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    files=$(git ls-files -- '*.cpp' '*.h')
else
    files=$(find . -mindepth 1 \( -name 'build*' -o -name '.*' \) -prune -o -type f \( -name '*.cpp' -o -name '*.h' \) -print |
            sed 's|^\./||' | sort)
fi
[ -n "$files" ] || { echo "check-format: no C++ files found" >&2; exit 2; }

differ=""
for f in $files; do
    if ! "$CLANG_FORMAT" --style=file --dry-run --Werror "$f" >/dev/null 2>&1; then
        differ="$differ $f"
    fi
done

if [ -n "$differ" ]; then
    echo "These files differ from clang-format's output (run: $CLANG_FORMAT -i FILE):" >&2
    for f in $differ; do echo "  $f" >&2; done
    exit 1
fi
echo "check-format: all $(echo "$files" | wc -w) C++ files are formatted"
