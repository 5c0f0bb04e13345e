#!/usr/bin/env bash
# Runs every test: the native unit tests under CTest, then the JavaScript tests.
set -euo pipefail
cd "$(dirname "$0")/.."
ctest --test-dir build-tests --output-on-failure --timeout 300
# ctest marks a skipped test without its reason: list each with the reason it gave.
awk '/: Skipped$/ { getline reason; pending = reason; next }
     /^\[  SKIPPED \] [^ ]+ \(/ { if (pending != "") print "native test skipped: " $4 ": " pending; pending = "" }' \
  build-tests/Testing/Temporary/LastTest.log
node --test --test-concurrency=1 test/js/
