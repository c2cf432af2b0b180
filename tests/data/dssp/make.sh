#!/usr/bin/env bash
# Regenerates the DSSP files of this folder from ../pdb with Debian's mkdssp (package dssp,
# 4.2.2 was used). mkdssp refuses some raw entries, so it reads a cleaned copy: the first
# model's ATOM records with a blank chain written as A, after a HEADER and a CRYST1 line.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
for pdb in "$here"/../pdb/*.pdb; do
  name="$(basename "$pdb" .pdb)"
  awk 'BEGIN { h = 0; c = 0 }
       /^HEADER/ { print; h = 1 }
       /^CRYST1/ { print; c = 1 }
       /^ENDMDL/ { exit }
       /^ATOM/ {
         if (!h) { print "HEADER    UNKNOWN"; h = 1 }
         if (!c) { print "CRYST1    1.000    1.000    1.000  90.00  90.00  90.00 P 1           1"; c = 1 }
         if (substr($0, 22, 1) == " ") $0 = substr($0, 1, 21) "A" substr($0, 23)
         print
       }
       END { print "END" }' "$pdb" >"$tmp/$name.pdb"
  mkdssp --output-format dssp "$tmp/$name.pdb" "$here/$name.dssp"
done
