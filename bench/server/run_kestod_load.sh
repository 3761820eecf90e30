#!/usr/bin/env bash
# kestod under load: 16 concurrent clients x 500 device ADD exchanges (throughput, peak
# memory, every YES stored), then the same load with kestod killed half-way and restarted
# (every YES still stored). Usage: run_kestod_load.sh <build-dir> [clients [exchanges]]
set -euo pipefail
build_dir=${1:-build/release}
driver="$build_dir/bench/server/kestod_load"
if [[ ! -x "$driver" ]]; then
    echo "run_kestod_load.sh: $driver not built (cmake --build $build_dir --target kestod_load)" >&2
    exit 1
fi
exec "$driver" "${2:-16}" "${3:-500}"
