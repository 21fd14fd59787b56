#!/usr/bin/env bash
# Prints a short digest of the tests that failed in the last CTest run of each folder: each
# failure's assertion lines or, for a crash, the last lines the test printed. It goes last in a
# log so that whoever reads only the end of it still sees why the run failed.
#
#   scripts/ctest-digest.sh CTEST_FOLDER...
set -uo pipefail
logs=()
for dir in "$@"; do
  for f in "$dir"/Testing/Temporary/LastTest*.log; do
    [ -f "$f" ] && logs+=("$f")
  done
done
[ "${#logs[@]}" -gt 0 ] || exit 0
echo "=== why the failed tests failed"
awk '
  /^[0-9]+\/[0-9]+ Test: / { name = $0; sub(/^[0-9]+\/[0-9]+ Test: /, "", name); next }
  /^Output:$/ { n = 0; inout = 1; next }
  /^<end of output>$/ { inout = 0; after = 0; next }
  inout { out[n++] = $0; next }
  /^Test time = / { after = 1; next }
  after == 1 && /^-+$/ { after = 2; next }
  after == 2 {
    after = 0
    if ($0 == "Test Passed.") next
    if (++shown > 8) next
    print "--- " name ": " $0
    found = 0
    for (i = 0; i < n && found < 3; i++)
      if (out[i] ~ /: Failure$/) {
        found++
        for (j = i; j < n && j < i + 5; j++) print "    " out[j]
      }
    if (found == 0)
      for (i = (n > 6 ? n - 6 : 0); i < n; i++) print "    " out[i]
  }
' "${logs[@]}"
