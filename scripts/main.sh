#!/usr/bin/env bash
# The main job: build what it runs (the module, the virtual bus, the kit and the
# tool; no test program), then run corvane-host on the embedded virtual bus:
# discover every camera, then acquire 16 frames of the Bayer colour camera into frames/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh native
cmake --preset native >/dev/null
cmake --build --preset native -j2 --target CorvaneImaq BL1394 blShared imaqmex corvane-host
build/native/bin/corvane-host list
# --overwrite: a second run takes the place of the first.
build/native/bin/corvane-host acquire 2 "VARIABLE_0 (1280X960) Raw8" --frames 16 --out frames --overwrite
