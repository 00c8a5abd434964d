#!/usr/bin/env bash
# Runs each fuzz target for a while over its checked-in corpus, seeds made
# fresh from the test corpus and the built program, and what earlier runs in
# the same build folder kept. Fails on the first crash, leak, sanitizer report
# or slow input; the input is then in FUZZ_BUILD/artifacts.
#
# fuzz/run.sh FUZZ_BUILD PROGRAM_BUILD SECONDS_PER_TARGET
set -euo pipefail

fuzz_build=$(realpath "$1")
build=$(realpath "$2")
seconds=$3
src=$(cd "$(dirname "$0")/.." && pwd)
seeds=$fuzz_build/seeds
work=$fuzz_build/corpus
artifacts=$fuzz_build/artifacts
key="corpus key"  # the decrypt target's key, as in tests/e2e/corpus.py

# Every target the fuzzing build made; none is a failure, not a pass.
targets=()
for program in "$fuzz_build"/fuzz/fuzz_*; do
  if [ -f "$program" ] && [ -x "$program" ]; then targets+=("${program##*/fuzz_}"); fi
done
if [ "${#targets[@]}" -eq 0 ]; then
  echo "no fuzz targets in $fuzz_build/fuzz (configure it with -DZELNO_FUZZ=ON)" >&2
  exit 1
fi

rm -rf "$seeds"
mkdir -p "$seeds/decrypt" "$seeds/decrypt_sealed" "$artifacts"

# The damaged and hostile containers of the end-to-end tests.
ZELNO_MAKE_CONTAINER=$build/tests/make_container python3 "$src/tests/e2e/corpus.py" "$seeds/decrypt"
rm -f "$seeds/decrypt/expected.txt"

# The scratch directories of the targets go below one folder, in memory when
# there is some (every successful run syncs its output to disk); it goes away
# at the end, with what a crashed target left.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  scratch=$(mktemp -d /dev/shm/zelno-fuzz-XXXXXX)
else
  scratch=$(mktemp -d)
fi
trap 'rm -rf "$scratch"' EXIT
export TMPDIR=$scratch

# Sound containers of both ciphers and layouts, around the block size.
for n in 0 1 15 16 17 100; do
  plain=$scratch/plain-$n
  head -c "$n" /dev/zero | tr '\0' 'p' > "$plain"
  "$build/zelno" e "$plain" "$key" "$seeds/decrypt/sound-twofish-$n" > /dev/null
  "$build/zelno" ea "$plain" "$key" "$seeds/decrypt/sound-aes-$n" > /dev/null
  for flags in 05 06 0e; do
    "$build/tests/make_container" "$flags" "$key" "restored-$n" 0 33188 0 "$plain" \
      "$seeds/decrypt/sound-layout-a-$flags-$n"
  done
done

# Sealed pieces: flags, clear size, MetaBlock, NameField, data.
python3 - "$seeds/decrypt_sealed" <<'PY'
import struct, sys
for flags in (0x35, 0x36, 0x05, 0x06, 0x1E):
    for n in (0, 5, 16, 40):
        meta = struct.pack("<IIII", 0, 0 if flags & 0x10 else n, 1700000000, 0o100644)
        name = b"restored".ljust(256, b"\0")
        piece = bytes([flags]) + struct.pack("<I", n) + meta + name + b"d" * n
        with open("%s/sealed-%02x-%d" % (sys.argv[1], flags, n), "wb") as f:
            f.write(piece)
PY

for target in "${targets[@]}"; do
  mkdir -p "$work/$target"
  dirs=("$work/$target")
  for d in "$src/fuzz/corpus/$target" "$seeds/$target"; do
    if [ -d "$d" ]; then dirs+=("$d"); fi
  done
  log=$fuzz_build/$target.log
  echo "fuzz_$target: $seconds s"
  if ! "$fuzz_build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$artifacts/$target-" \
       "${dirs[@]}" > "$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz_$target failed; the input is in $artifacts/, the log in $log" >&2
    exit 1
  fi
  grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::(number_of_executed_units|peak_rss_mb)' "$log"
  if ! grep -Eq '^stat::number_of_executed_units: *[1-9]' "$log"; then
    echo "fuzz_$target ran no input; the log is in $log" >&2
    exit 1
  fi
done
