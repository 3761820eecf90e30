#!/usr/bin/env bash
# Times `velquor-cli encrypt` of a 256 MiB file against `openssl enc -aes-128-ecb -nopad` on the
# same file (best of a few runs each) and prints the ratio. velquor-cli makes its output
# durable (fsync) before reporting success and openssl does not, so the peer is also shown
# with an fsync of its output added.
# usage: run_encrypt_cli.sh <build-dir> [size-MiB] [runs]
set -euo pipefail

build_dir=${1:?usage: run_encrypt_cli.sh <build-dir> [size-MiB] [runs]}
size_mib=${2:-256}
runs=${3:-3}
cli="$build_dir/src/cli/velquor-cli"
[[ -x "$cli" ]] || { echo "no velquor-cli in $build_dir (build it first)" >&2; exit 1; }
command -v openssl >/dev/null || { echo "openssl is not installed" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/velquor-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

key_text="bench-key"
key_hex=$(printf '%s' "$key_text" | od -An -tx1 | tr -d ' \n')
key_hex=$(printf '%-32s' "$key_hex" | tr ' ' 0)

head -c "$((size_mib * 1024 * 1024))" /dev/urandom >"$work/input"

now_ns() { date +%s%N; }

# best_of NAME COMMAND...: runs the command $runs times, removing the output first, and
# prints the best wall time in milliseconds.
best_of() {
    local best=""
    for _ in $(seq "$runs"); do
        rm -f "$work/out"
        local start end elapsed
        start=$(now_ns)
        "$@"
        end=$(now_ns)
        elapsed=$(((end - start) / 1000000))
        if [[ -z "$best" || $elapsed -lt $best ]]; then best=$elapsed; fi
    done
    echo "$best"
}

# Random bytes in whole blocks look encrypted already: --binary says they are meant.
ours() { "$cli" encrypt --binary --key "$key_text" "$work/input" "$work/out"; }
peer() { openssl enc -aes-128-ecb -nopad -K "$key_hex" -in "$work/input" -out "$work/out"; }
peer_synced() { peer && sync "$work/out"; }

cat "$work/input" >/dev/null  # the same warm cache for every contender
peer_ms=$(best_of peer)
peer_synced_ms=$(best_of peer_synced)
ours_ms=$(best_of ours)

# Both produce the same bytes (the file is a whole number of blocks, so no completion).
ours
cp "$work/out" "$work/ours.enc"
peer
cmp -s "$work/out" "$work/ours.enc" || { echo "velquor-cli and openssl disagree" >&2; exit 1; }

ratio=$(awk -v a="$ours_ms" -v b="$peer_ms" 'BEGIN { printf "%.2f", a / (b > 0 ? b : 1) }')
ratio_synced=$(awk -v a="$ours_ms" -v b="$peer_synced_ms" 'BEGIN { printf "%.2f", a / (b > 0 ? b : 1) }')
echo "encrypt ${size_mib} MiB, best of $runs:"
echo "  velquor-cli encrypt (with fsync):   ${ours_ms} ms"
echo "  openssl enc:                        ${peer_ms} ms   ratio ${ratio} (target <= 1.20)"
echo "  openssl enc + fsync of its output:  ${peer_synced_ms} ms   ratio ${ratio_synced}"
printf 'target\tencrypt %s MiB / openssl enc (time ratio)\t%s\t<=\t1.20\n' "$size_mib" "$ratio"
if awk -v r="$ratio" 'BEGIN { exit !(r <= 1.2) }'; then
    echo "target met"
else
    echo "TARGET MISSED"
    exit 1
fi
