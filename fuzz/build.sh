#!/bin/sh
# Builds the libFuzzer targets of the structure-file readers and writers with clang,
# AddressSanitizer and UndefinedBehaviorSanitizer. Not part of the default build.
#   fuzz/build.sh [out_dir]            (default /tmp/kelda-fuzz)
# Needs clang++ (Debian: clang-14 and libclang-rt-14-dev). Run a target with
#   fuzz/run.sh <target> [seconds]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
out=${1:-/tmp/kelda-fuzz}
cxx=${CXX:-$(command -v clang++ || command -v clang++-14)}
mkdir -p "$out"
flags="-std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined"
core="$root/kelda-core/src"
sources="$core/error.cpp $core/records.cpp $core/math/transform.cpp $core/io/*.cpp"
for target in pdb_reader dssp_loader rewriter; do
  echo "building fuzz_$target"
  # shellcheck disable=SC2086
  "$cxx" $flags -I"$root/kelda-core/include" -o "$out/fuzz_$target" "$here/fuzz_$target.cpp" $sources
done
