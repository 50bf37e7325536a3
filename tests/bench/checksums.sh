#!/usr/bin/env bash
# Output checksum test: generates the benchmark scenarios at a small size with
# a fixed seed, runs quilvar on them, and compares the SHA-256 of every input
# and output file with the recorded list in checksums.txt. It shows that a
# change meant only to make Quilvar faster leaves every output byte the same.
#
#   checksums.sh MAKE_DATA QUILVAR CHECKSUMS_FILE WORK_DIR [--update]
#
# --update rewrites CHECKSUMS_FILE from this run's files (bench/run
# --update-checksums does it with the benchmark build). Do that only when a
# change of the outputs is intended (a new column, a corrected figure) and say
# so in the commit; never to make a failing optimisation pass.
set -euo pipefail

if [ "$#" -lt 4 ] || [ "$#" -gt 5 ]; then
  echo "usage: checksums.sh MAKE_DATA QUILVAR CHECKSUMS_FILE WORK_DIR [--update]" >&2
  exit 2
fi
make_data=$(realpath "$1")
quilvar=$(realpath "$2")
checksums_file=$(realpath -m "$3")
work=$(realpath -m "$4")
update=0
if [ "$#" -eq 5 ]; then
  [ "$5" = "--update" ] || { echo "checksums.sh: unknown option '$5'" >&2; exit 2; }
  update=1
fi

# Small enough for a quick test, large enough for many BY groups, every
# stratum and age group, and zero counts.
size=200
seed=20240611

rm -rf "$work"
mkdir -p "$work"
"$make_data" --out "$work/data" --size "$size" --seed "$seed"

# Run from the data folder with relative names: the JSON output records the
# program's name as given, so absolute paths would tie the checksums to WORK_DIR.
cd "$work/data"
mkdir -p out/s2 out/s3 out/s4
# run DIR ARGS...: runs quilvar with its log (warnings are outputs too) in DIR/log.txt.
run() {
  local dir=$1 status=0
  shift
  "$quilvar" "$@" --log "$dir/log.txt" || status=$?
  if [ "$status" -ne 0 ]; then
    echo "checksums.sh: 'quilvar $* --log $dir/log.txt' ended with status $status:" >&2
    cat "$dir/log.txt" >&2
    exit 1
  fi
}
run out/s2 s2.qv --csv out/s2 --no-listing
run out/s3 s3.qv --csv out/s3 --json out/s3/s3.json --no-listing
run out/s4 s2.qv --csv out/s4 >out/s4/listing.txt

# Inputs too, so that a failure says whether the data or the outputs changed.
actual=$(find direct_pop.csv direct_ref.csv indirect_pop.csv indirect_ref.csv s2.qv s3.qv \
              out/s2 out/s3 out/s4 -type f | LC_ALL=C sort | xargs sha256sum)

if [ "$update" -eq 1 ]; then
  {
    echo "# SHA-256 of the files of tests/bench/checksums.sh (size $size, seed $seed)."
    echo "# Regenerate with 'bench/run --update-checksums' only when an output change is intended."
    echo "$actual"
  } >"$checksums_file"
  echo "checksums.sh: wrote $(echo "$actual" | wc -l) checksums to $checksums_file"
  exit 0
fi

[ -f "$checksums_file" ] || { echo "checksums.sh: no $checksums_file" >&2; exit 1; }
expected=$(grep -v '^#' "$checksums_file")
if [ "$actual" != "$expected" ]; then
  echo "checksums.sh: files differ from $checksums_file (- recorded, + this run):" >&2
  diff <(echo "$expected") <(echo "$actual") >&2 || true
  echo "outputs are kept in $work/data/out for comparison" >&2
  exit 1
fi
echo "checksums.sh: $(echo "$actual" | wc -l) files match"
