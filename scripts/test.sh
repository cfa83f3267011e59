#!/usr/bin/env bash
# Builds everything and runs the whole test suite (Release with debug info).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --workflow --preset default
