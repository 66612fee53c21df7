#!/usr/bin/env bash
# The main job: build natively, then run corvane-host on the embedded virtual bus.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh native
cmake --preset native >/dev/null
cmake --build --preset native
build/native/bin/corvane-host list
