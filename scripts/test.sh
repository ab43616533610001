#!/usr/bin/env bash
# Builds everything and runs every test (unit and scenario).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh default
ctest --preset default -j "$(nproc)" --timeout 600
