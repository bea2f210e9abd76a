#!/usr/bin/env bash
# Fails when a C++ source differs from the layout of .clang-format (clang-format 14); prints the files.
set -euo pipefail
cd "$(dirname "$0")/.."
format=$(command -v clang-format-14 || command -v clang-format)
mapfile -t files < <(git ls-files '*.cc' '*.h' '*.cpp')
"$format" --dry-run -Werror "${files[@]}"
echo "formatting: ${#files[@]} files follow .clang-format"
