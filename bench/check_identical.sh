#!/usr/bin/env bash
# Guards optimisations: the programs' outputs must not change by one byte.
#
#   bench/check_identical.sh save  BUILD_DIR CORPUS_DIR   # keep today's outputs
#   bench/check_identical.sh check BUILD_DIR CORPUS_DIR   # compare with them
#
# The inputs are the corpora and adversarial files of bench/make_corpora.py;
# the outputs of both programs are kept in CORPUS_DIR/reference.
set -euo pipefail

if (($# != 3)) || [[ $1 != save && $1 != check ]]; then
    echo "usage: $0 save|check BUILD_DIR CORPUS_DIR" >&2
    exit 2
fi
action=$1 build=$2 corpora=$3
reference=$corpora/reference
scratch=$(mktemp -d "$corpora/check.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$reference"

inputs=("$corpora"/prose.txt "$corpora"/csource.c "$corpora"/wide.c "$corpora"/ascii.c "$corpora"/adversarial/*)
failures=0
for input in "${inputs[@]}"; do
    name=$(basename "$input")
    for program in txtconv litconv; do
        out=$scratch/$name.$program
        "$build/$program" "$input" "$out"
        if [[ $action == save ]]; then
            mv "$out" "$reference/$name.$program"
        elif ! cmp "$reference/$name.$program" "$out"; then
            failures=$((failures + 1))
        fi
    done
done
if [[ $action == save ]]; then
    echo "saved the outputs of ${#inputs[@]} inputs in $reference"
elif ((failures)); then
    echo "$failures outputs differ" >&2
    exit 1
else
    echo "all outputs of ${#inputs[@]} inputs are identical"
fi
