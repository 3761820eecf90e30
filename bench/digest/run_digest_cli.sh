#!/usr/bin/env bash
# Whole-process timings of `velquor-cli digest` against the usual command-line peers, on files
# already in the page cache (each read once before timing), best of a few runs each:
#   CRC-32 and GOST R 34.11-94 against rhash on a 256 MiB file (speed-up = rhash / ours >= 1),
#   MD5 against md5sum on a 512 MiB file (ours / md5sum <= 0.95).
# Every pair must also print the same digest. The big files are deleted afterwards. Each
# target is also stated as a "target" line for the table of `make bench`.
# usage: run_digest_cli.sh <build-dir> [runs]
set -euo pipefail

build_dir=${1:?usage: run_digest_cli.sh <build-dir> [runs]}
runs=${2:-5}
cli="$build_dir/src/cli/velquor-cli"
[[ -x "$cli" ]] || { echo "no velquor-cli in $build_dir (build it first)" >&2; exit 1; }
for tool in rhash md5sum; do
    command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/velquor-digest-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

head -c $((256 * 1024 * 1024)) /dev/urandom >"$work/256MiB"
cat "$work/256MiB" "$work/256MiB" >"$work/512MiB"

now_ns() { date +%s%N; }

# best_of COMMAND...: the best wall time of $runs runs in milliseconds; output discarded.
best_of() {
    local best=""
    for _ in $(seq "$runs"); do
        local start end elapsed
        start=$(now_ns)
        "$@" >/dev/null
        end=$(now_ns)
        elapsed=$(((end - start) / 1000000))
        if [[ -z "$best" || $elapsed -lt $best ]]; then best=$elapsed; fi
    done
    echo "$best"
}

first_word() { "$@" | head -n 1 | cut -d' ' -f1; }

status=0
# compare LABEL FILE KIND TARGET OURS... -- PEER...
#   KIND speedup: reports peer/ours, needs >= TARGET; KIND ratio: ours/peer, needs <= TARGET.
compare() {
    local label=$1 file=$2 kind=$3 target=$4
    shift 4
    local ours=() peer=()
    while [[ $1 != -- ]]; do ours+=("$1"); shift; done
    shift
    peer=("$@")
    cat "$work/$file" >/dev/null
    local ours_digest peer_digest
    ours_digest=$(first_word "${ours[@]}" "$work/$file")
    peer_digest=$(first_word "${peer[@]}" "$work/$file")
    if [[ "$ours_digest" != "$peer_digest" ]]; then
        echo "$label: digests differ (ours $ours_digest, peer $peer_digest)" >&2
        status=1
        return
    fi
    local ours_ms peer_ms value verdict
    ours_ms=$(best_of "${ours[@]}" "$work/$file")
    peer_ms=$(best_of "${peer[@]}" "$work/$file")
    if [[ $kind == speedup ]]; then
        value=$(awk -v a="$peer_ms" -v b="$ours_ms" 'BEGIN { printf "%.2f", a / (b > 0 ? b : 1) }')
        verdict=$(awk -v v="$value" -v t="$target" 'BEGIN { print (v >= t ? "ok" : "MISSED") }')
        printf '%-26s %-7s ours %6d ms  peer %6d ms  speed-up %5s (target >= %s) %s\n' \
            "$label" "$file" "$ours_ms" "$peer_ms" "$value" "$target" "$verdict"
    else
        value=$(awk -v a="$ours_ms" -v b="$peer_ms" 'BEGIN { printf "%.2f", a / (b > 0 ? b : 1) }')
        verdict=$(awk -v v="$value" -v t="$target" 'BEGIN { print (v <= t ? "ok" : "MISSED") }')
        printf '%-26s %-7s ours %6d ms  peer %6d ms  time ratio %5s (target <= %s) %s\n' \
            "$label" "$file" "$ours_ms" "$peer_ms" "$value" "$target" "$verdict"
    fi
    if [[ $kind == speedup ]]; then
        printf 'target\t%s (speed-up)\t%s\t>=\t%s\n' "$label" "$value" "$target"
    else
        printf 'target\t%s (time ratio)\t%s\t<=\t%s\n' "$label" "$value" "$target"
    fi
    [[ $verdict == ok ]] || status=1
}

echo "velquor-cli digest against its peers, best of $runs, files in the page cache:"
compare "crc32 vs rhash --crc32" 256MiB speedup 1.0 \
    "$cli" digest -a crc32 -- rhash --crc32 --printf='%{crc32}\n'
compare "gost94 vs rhash --gost94" 256MiB speedup 1.0 \
    "$cli" digest -a gost94 -- rhash --gost94 --printf='%{gost94}\n'
compare "md5 vs md5sum" 512MiB ratio 0.95 \
    "$cli" digest -a md5 -- md5sum
exit $status
