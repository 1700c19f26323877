#!/bin/sh
# A short tour of what exists so far.
set -eu
cd "$(dirname "$0")/.."
echo "built: $(ls build/default/tests/*/test_* 2>/dev/null | wc -l) test programs"
