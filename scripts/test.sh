#!/usr/bin/env bash
# Runs every test: the unit suite natively and under the sanitizers, then
# the end-to-end suites. Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh native sanitize windows
ctest --preset native
ctest --preset sanitize
DLLTALLY_WRAPPER="valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect" \
  tests/hive/run_hive_tests.sh build/native/dlltally build/native/make_hive
scripts/fuzz.sh 30
ctest --preset windows
