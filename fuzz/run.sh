#!/bin/sh
# Runs one fuzz target built by fuzz/build.sh, seeded from the project's PDB and DSSP
# test files; crashing inputs land in $out/crashes-<target>/.
#   fuzz/run.sh pdb_reader|dssp_loader|rewriter [seconds] [out_dir]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
target=$1
seconds=${2:-600}
out=${3:-/tmp/kelda-fuzz}
corpus="$out/corpus-$target"
crashes="$out/crashes-$target"
mkdir -p "$corpus" "$crashes"
# Seeds: the head of each real file (where the header, the first records and, for DSSP,
# the residue table start) and every earlier regression input.
case $target in
  dssp_loader) seeds="$root/tests/data/dssp/*.dssp" ;;
  *) seeds="$root/tests/data/pdb/*.pdb" ;;
esac
for f in $seeds; do
  head -c 6000 "$f" > "$corpus/seed-$(basename "$f")"
done
if [ -d "$root/tests/data/fuzz/$target" ]; then cp "$root/tests/data/fuzz/$target"/* "$corpus"/ 2>/dev/null || true; fi
exec "$out/fuzz_$target" -max_total_time="$seconds" -max_len=20000 -len_control=0 -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$crashes/" -print_final_stats=1 "$corpus"
