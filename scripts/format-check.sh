#!/bin/sh
# Fails when a C++ file of the repository differs from what .clang-format makes of it.
set -eu
cd "$(dirname "$0")/.."
bad=$(git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run 2>&1 | grep -o '^[^:]*: warning' | cut -d: -f1 | sort -u)
if [ -n "$bad" ]; then
    echo "not formatted with .clang-format (run clang-format -i on them):"
    echo "$bad" | sed 's/^/  /'
    exit 1
fi
