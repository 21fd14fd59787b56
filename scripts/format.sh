#!/usr/bin/env bash
# Formats every C++ file of the project with the root .clang-format.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files -co --exclude-standard -- '*.cpp' '*.h' | grep -vE '^(build|out)/' | xargs clang-format -i
