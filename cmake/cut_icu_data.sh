#!/bin/sh
# Writes a C file defining ICU's data entry point with only the named items,
# taken from the system's ICU data library, for a statically linked program.
#
#   cut_icu_data.sh DATA_LIBRARY MAJOR_VERSION OUTPUT_C ITEM...
#
# The data library holds the whole ICU data package as one symbol,
# icudt<MAJOR>_dat; icupkg lifts the items out of it and genccode turns the
# small package back into source.
set -eu
library=$1
major=$2
output=$3
shift 3

entry="icudt${major}"
package="icudt${major}l"
work="${output}.work"
rm -rf "$work"
mkdir -p "$work/items" "$work/cut"

# Address and size of the entry symbol, and where its section sits in the file.
symbol=$(nm -D -S "$library" | awk -v s="${entry}_dat" '$4 == s { print $1, $2 }')
[ -n "$symbol" ] || { echo "cut_icu_data.sh: no ${entry}_dat in $library" >&2; exit 1; }
address=$((0x${symbol% *}))
size=$((0x${symbol#* }))
section=$(readelf -S -W "$library" |
  awk '{ for (i = 1; i < NF; ++i) if ($i == ".rodata") { print $(i + 2), $(i + 3); exit } }')
section_address=$((0x${section% *}))
section_offset=$((0x${section#* }))
offset=$((address - section_address + section_offset))
tail -c +$((offset + 1)) "$library" | head -c "$size" >"$work/$package.dat"

: >"$work/items.txt"
for item in "$@"; do
  icupkg -x "$item" -d "$work/items" "$work/$package.dat"
  echo "$item" >>"$work/items.txt"
done
icupkg -a "$work/items.txt" -s "$work/items" new "$work/cut/$package.dat"
# genccode names the array after the file: icudt<MAJOR>_dat.
cp "$work/cut/$package.dat" "$work/$entry.dat"
genccode -q -d "$work" "$work/$entry.dat"
mv "$work/${entry}_dat.c" "$output"
rm -rf "$work"
