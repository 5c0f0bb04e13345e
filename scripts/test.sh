#!/usr/bin/env bash
# Runs every test: the native unit tests under CTest, then the JavaScript tests.
set -euo pipefail
cd "$(dirname "$0")/.."
ctest --test-dir build-tests --output-on-failure --timeout 300
node --test --test-concurrency=1 test/js/
