#!/usr/bin/env bash
# End-to-end runs of the native tool on real hive files.
#
#   run_hive_tests.sh DLLTALLY MAKE_HIVE
#
# Every hive is written by the fixture maker through hivex; what a clean
# leaves behind is read back with reglookup, a reader independent of hivex.
set -uo pipefail

dlltally=$(realpath "$1")
make_hive=$(realpath "$2")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'chattr -i "$work/readonly" 2>/dev/null; chmod -R u+w "$work" 2>/dev/null; rm -rf "$work"' EXIT
cd "$work" || exit 1

# DLLTALLY_WRAPPER="valgrind ..." runs every call of the tool under that
# command; what the wrapper writes to standard error fails the case.
if [ -n "${DLLTALLY_WRAPPER:-}" ]; then
  printf '#!/bin/sh\nexec %s %q "$@"\n' "$DLLTALLY_WRAPPER" "$dlltally" >"$work/wrapped-dlltally"
  chmod +x "$work/wrapped-dlltally"
  dlltally=$work/wrapped-dlltally
fi

failures=0
checks=0
key_path=/Microsoft/Windows/CurrentVersion/SharedDLLs

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Writes a hive from value lines (TYPE<TAB>NAME<TAB>DATA) on standard input.
hive() {
  local out=$1
  shift
  "$make_hive" "$out" --values - "$@" || { echo "make_hive failed for $out"; exit 1; }
}

# Sets the output the next run must give: each argument one line, ended
# by CR LF. A failure report holds its own bare line feed.
out() {
  wanted=("$@")
}
report() {
  printf 'Exception %s in module dlltally at ADDRESS.\n%s' "$1" "$2"
}

# A row as the listing prints it: the name padded to 60, the count padded
# to 2, the count in hexadecimal.
row() {
  printf '%-60s %-2s (0x%s)' "$1" "$2" "$3"
}

# Runs the tool and compares its exit code and every byte of its standard
# output. The address in a failure report differs from build to build, so
# it is compared by its form.
expect() {
  local name=$1 code=$2
  shift 2
  checks=$((checks + 1))
  local actual rc expected="" line
  for line in "${wanted[@]}"; do expected+="$line"$'\r\n'; done
  local command=("$dlltally" "$@")
  [ "${1:-}" = flock ] && command=("$@")  # a lock held around the run
  actual=$("${command[@]}" 2>"$work/stderr"; echo "rc=$?")
  rc=${actual##*rc=}
  actual=${actual%rc=*}
  actual=$(printf '%s' "$actual" | sed -E 's/ at [0-9A-F]{8}\.$/ at ADDRESS./'; echo x)
  actual=${actual%x}
  if [ "$rc" != "$code" ]; then fail "$name: exit code $rc, expected $code"; fi
  if [ "$actual" != "$expected" ]; then
    fail "$name: output differs"
    diff <(printf '%s' "$expected" | cat -A) <(printf '%s' "$actual" | cat -A) | head -20
  fi
  if [ -s "$work/stderr" ]; then fail "$name: wrote to standard error: $(cat "$work/stderr")"; fi
}

# The values left in the key, one name per line, as reglookup reads them.
remaining() {
  reglookup -H -p "$key_path" "$1" 2>/dev/null | grep -v ',KEY,' | cut -d, -f1 |
    sed "s|^$key_path/||"
}

# Everything in the hive outside the key, as reglookup reads it.
outside_key() {
  reglookup -H "$1" 2>/dev/null | grep -v "^$key_path" | cut -d, -f1-3
}

same_bytes() {
  checks=$((checks + 1))
  cmp -s "$2" "$3" || fail "$1: the hive changed"
}

no_leftovers() {
  checks=$((checks + 1))
  local extra
  extra=$(find "$1" -name '*.dlltally-*')
  [ -z "$extra" ] || fail "temporary files left behind: $extra"
}

# ---------------------------------------------------------------------------
# Listing: the behaviours covered on Windows, repeated on a hive.

# Listing: the behaviours covered on Windows, repeated on a hive.

hive list.hiv <<'EOF'
dword	C:\WINDOWS\SYSTEM\foo.dll	3
dword	C:\Program Files\Acme\FOO.DLL	12
sz	C:\Windows\System32\bar.dll	 7
binary	C:\Windows\System32\baz.dll	2c 01
EOF
all_rows=("$(row 'C:\WINDOWS\SYSTEM\foo.dll' 3 0003)" "$(row 'C:\Program Files\Acme\FOO.DLL' 12 000C)"
  "$(row 'C:\Windows\System32\bar.dll' 7 0007)" "$(row 'C:\Windows\System32\baz.dll' 300 012C)")
first_line="Dlltally v1.0 Lists and cleans shared DLL reference counts"
usage=("$first_line" ""
  "Syntax: DLLTALLY.EXE [/CLEAN] {/ALL | <filename> ...}" ""
  "Use:    Returns the system reference count of <filename>."
  "        This is stored in the registry in"
  "        HKML\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs."
  "        /CLEAN also removes all zero reference counts"
  "        while /ALL displays all values.")

out "${usage[@]}"
expect "no arguments" 1
expect "only a hive" 1 --hive list.hiv
out "$first_line"
expect "--version" 0 --version
checks=$((checks + 1))
help=$("$dlltally" --help; echo "rc=$?")
usage_text=$(printf '%s\r\n' "${usage[@]}"; echo x)
[ "${help:0:${#usage_text}-1}" = "${usage_text%x}" ] || fail "--help does not start with the usage screen"
[[ $help == *"--hive FILE"*"--root DIR"*rc=0 ]] || fail "--help does not name the options or exit 0"

out "${all_rows[@]}"
for all in /ALL /all /All; do
  expect "$all" 0 --hive list.hiv "$all"
  expect "--hive= $all" 0 --hive=list.hiv -- "$all"
done
out "${all_rows[@]}" "${all_rows[@]}"
expect "/all foo.dll" 0 --hive list.hiv /all foo.dll
out "${all_rows[@]:0:2}"
expect "file-name operand" 0 --hive list.hiv foo.dll
out "${all_rows[0]}"
expect "full-path operand" 0 --hive list.hiv 'c:\windows\system\FOO.DLL'
out "${all_rows[2]}" "${all_rows[2]}"
expect "operand given twice" 0 --hive list.hiv bar.dll BAR.DLL
out
expect "operand selecting nothing" 0 --hive list.hiv nothing.dll
expect "/CLEAN alone" 0 --hive list.hiv --root "$work" /CLEAN

"$make_hive" nokey.hiv --no-key
out 'Error: Could not open key HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\SharedDLLs'
expect "missing key" 1 --hive nokey.hiv /ALL

hive malformed.hiv <<'EOF'
dword	C:\a.dll	1
sz	C:\b.dll	12 
dword	C:\c.dll	3
EOF
out "$(row 'C:\a.dll' 1 0001)" "$(report EConvertError "'12 ' is not a valid integer value.")"
expect "malformed text" 1 --hive malformed.hiv /ALL
out "$(report EConvertError "'12 ' is not a valid integer value.")"
expect "malformed text, other operand" 1 --hive malformed.hiv c.dll

hive longbinary.hiv <<'EOF'
dword	C:\a.dll	1
binary	C:\b.dll	01 02 03 04 05
EOF
out "$(row 'C:\a.dll' 1 0001)" "$(report ERegistryException "Invalid data type for 'C:\\b.dll'.")"
expect "binary longer than 4 bytes" 1 --hive longbinary.hiv /ALL

long_name="C:\\$(printf 'x%.0s' {1..4100}).dll"
printf 'dword\tC:\\a.dll\t1\ndword\t%s\t2\n' "$long_name" | hive longrow.hiv
out "$(row 'C:\a.dll' 1 0001)" "$(report EConvertError "Format result longer than 4096 characters.")"
expect "row longer than 4096" 1 --hive longrow.hiv /ALL

# Every registry type. A value whose count is not read shows 0, never the
# count of the value before it; short DWORDs and binaries of 1 to 4 bytes
# are little-endian numbers, zero-extended.
hive types.hiv <<'EOF'
dword	C:\dword.dll	12
none	C:\none.dll	01
sz	C:\sz.dll	$1f
expand_sz	C:\expand.dll	5
binary	C:\binary1.dll	05
binary	C:\binary2.dll	2c 01
binary	C:\binary4.dll	ff ff ff ff
dword	C:\short.dll	hex:05 01
binary	C:\binary0.dll	
dword_be	C:\dwordbe.dll	00 00 00 05
6	C:\link.dll	41 00
multi_sz	C:\multi.dll	35 00 00 00 00 00
8	C:\resource.dll	01 02
11	C:\qword.dll	05 00 00 00 00 00 00 00
0x7fff0004	C:\odd.dll	05 00 00 00
dword	C:\minus.dll	0xffffffff
sz	C:\nul.dll	hex:31 00 32 00 00 00 33 00
sz	C:\empty.dll	hex:
EOF
out "$(row 'C:\dword.dll' 12 000C)" "$(row 'C:\none.dll' 0 0000)" "$(row 'C:\sz.dll' 31 001F)" \
  "$(row 'C:\expand.dll' 0 0000)" "$(row 'C:\binary1.dll' 5 0005)" \
  "$(row 'C:\binary2.dll' 300 012C)" "$(row 'C:\binary4.dll' -1 FFFFFFFF)" \
  "$(row 'C:\short.dll' 261 0105)" "$(row 'C:\binary0.dll' 0 0000)" \
  "$(row 'C:\dwordbe.dll' 0 0000)" "$(row 'C:\link.dll' 0 0000)" "$(row 'C:\multi.dll' 0 0000)" \
  "$(row 'C:\resource.dll' 0 0000)" "$(row 'C:\qword.dll' 0 0000)" \
  "$(row 'C:\odd.dll' 0 0000)" "$(row 'C:\minus.dll' -1 FFFFFFFF)" "$(row 'C:\nul.dll' 12 000C)" "$(report EConvertError "'' is not a valid integer value.")"
expect "every registry type" 1 --hive types.hiv /ALL

printf 'dword\tC:\\a.dll\t1\ndword\tC:\\long.dll\thex:05 00 00 00 00 00 00 00\n' | hive longdword.hiv
out "$(row 'C:\a.dll' 1 0001)" "$(report ERegistryException "Failed to get data for 'C:\\long.dll'.")"
expect "DWORD of 8 bytes" 1 --hive longdword.hiv /ALL

# The largest inputs: data of 999,000 bytes (hivex writes no value of a
# million bytes or more) and a name of 16,383 characters, the longest the
# registry allows. A listing fails on them as on any such value; a clean
# refuses the large data and carries the long name over whole.
printf 'dword\tC:\\a.dll\t1\nbinary\tC:\\big.dll\t%s\ndword\tC:\\c.dll\t3\n' \
  "$(head -c 999000 /dev/zero | od -An -v -tx1 | tr -d ' \n')" | hive bigbinary.hiv
printf 'dword\tC:\\a.dll\t1\nsz\tC:\\big.dll\t%s\ndword\tC:\\c.dll\t3\n' \
  "$(head -c 499499 /dev/zero | tr '\0' 7)" | hive bigtext.hiv
name_16383="C:\\$(head -c 16376 /dev/zero | tr '\0' n).dll"
printf 'dword\tC:\\a.dll\t1\ndword\t%s\t2\ndword\tC:\\c.dll\t3\n' "$name_16383" | hive longname.hiv
for f in bigbinary bigtext; do cp "$f.hiv" "$f.orig"; done
mkdir -p big-root && touch big-root/a.dll
out "$(row 'C:\a.dll' 1 0001)" "$(report ERegistryException "Invalid data type for 'C:\\big.dll'.")"
expect "binary of 999,000 bytes" 1 --hive bigbinary.hiv /ALL
out "$(row 'C:\a.dll' 1 0001)" "$(report EConvertError "Format result longer than 4096 characters.")"
expect "text of 999,000 bytes" 1 --hive bigtext.hiv /ALL
expect "name of 16,383 characters" 1 --hive longname.hiv /ALL
for f in bigbinary bigtext; do
  out "Error: Will not change hive $f.hiv: value 'C:\\big.dll' holds 999000 bytes of data, more than the 16344 that can be rewritten safely"
  expect "refuse: $f of 999,000 bytes" 1 --hive "$f.hiv" --root big-root /CLEAN c.dll
  same_bytes "refusal $f" "$f.hiv" "$f.orig"
done
out "$(row 'C:\c.dll' 3 0003) Deleted"
expect "clean beside a name of 16,383 characters" 0 --hive longname.hiv --root big-root /CLEAN c.dll
checks=$((checks + 1))
[ "$(remaining longname.hiv)" = "$(printf '%s\n' 'C:\a.dll' "$name_16383")" ] ||
  fail "clean beside a name of 16,383 characters: the key holds other values"

# Data of 1 MB and one byte, in segments as Windows stores large data: in
# the key, a listing fails on it and a clean refuses; elsewhere in the hive,
# a clean carries it over.
printf 'dword\tC:\\a.dll\t1\nbinary\tC:\\big.dll\t00\ndword\tC:\\c.dll\t3\n' | hive segmented.hiv
perl "$here/add_big_data.pl" segmented.hiv 'C:\big.dll' 1048577 || fail "add_big_data.pl failed"
cp segmented.hiv segmented.orig
out "$(row 'C:\a.dll' 1 0001)" "$(report ERegistryException "Invalid data type for 'C:\\big.dll'.")"
expect "binary of 1,048,577 bytes in segments" 1 --hive segmented.hiv /ALL
out "Error: Will not change hive segmented.hiv: value 'C:\\big.dll' holds 1048577 bytes of data, more than the 16344 that can be rewritten safely"
expect "refuse: binary of 1,048,577 bytes in segments" 1 --hive segmented.hiv --root big-root /CLEAN c.dll
same_bytes "refusal segmented" segmented.hiv segmented.orig
printf 'dword\tC:\\a.dll\t1\ndword\tC:\\c.dll\t3\n' | hive bigelsewhere.hiv
perl "$here/add_big_data.pl" bigelsewhere.hiv ProgramFilesDir 1048577 || fail "add_big_data.pl failed"
cp bigelsewhere.hiv bigelsewhere.orig
out "$(row 'C:\c.dll' 3 0003) Deleted"
expect "clean beside 1,048,577 bytes in another key" 0 --hive bigelsewhere.hiv --root big-root /CLEAN c.dll
checks=$((checks + 1))
[ "$(remaining bigelsewhere.hiv)" = 'C:\a.dll' ] &&
  [ "$(outside_key bigelsewhere.hiv)" = "$(outside_key bigelsewhere.orig)" ] ||
  fail "clean beside 1,048,577 bytes in another key: the hive reads otherwise"
checks=$((checks + 1))
[ "$(printf 'cd \\Microsoft\\Windows\\CurrentVersion\nlsval\n' | hivexsh bigelsewhere.hiv |
  grep ProgramFilesDir | tr -cd A | wc -c)" = 524288 ] ||
  fail "clean beside 1,048,577 bytes in another key: hivexsh does not read them back"

# Names come as UTF-8 and are padded by bytes; names that differ only in
# letter case each show their own count; the unnamed value has an empty name.
printf 'dword\tC:\\A.dll\t1\ndword\tC:\\a.dll\t2\nsz\tC:\\caf\xc3\xa9.dll\t5\ndword\t\t7\n' |
  hive names.hiv
out "$(row 'C:\A.dll' 1 0001)" "$(row 'C:\a.dll' 2 0002)" \
  "$(printf 'C:\\caf\xc3\xa9.dll%48s 5  (0x0005)' '')" "$(row '' 7 0007)"
expect "names" 0 --hive names.hiv /ALL

# A clean carries every other value over as it was: names stored in Latin-1
# or UTF-16, names one letter case apart, the unnamed value.
printf 'dword\tC:\\A.dll\t1\ndword\tC:\\a.dll\t2\nsz\tC:\\caf\xc3\xa9.dll\t5\nsz\tC:\\x\xe2\x82\xac.dll\t6\ndword\t\t7\ndword\tC:\\gone.dll\t8\n' |
  hive keepnames.hiv
mkdir -p names-root && touch names-root/a.dll
out "$(row 'C:\gone.dll' 8 0008) Deleted"
expect "clean beside names of every kind" 0 --hive keepnames.hiv --root names-root /CLEAN gone.dll
out "$(row 'C:\A.dll' 1 0001)" "$(row 'C:\a.dll' 2 0002)" \
  "$(printf 'C:\\caf\xc3\xa9.dll%48s 5  (0x0005)' '')" \
  "$(printf 'C:\\x\xe2\x82\xac.dll%49s 6  (0x0006)' '')" "$(row '' 7 0007)"
expect "names after the clean" 0 --hive keepnames.hiv /ALL
checks=$((checks + 1))
[ "$(reglookup -H -p "$key_path" keepnames.hiv 2>/dev/null | grep -c DWORD)" = 3 ] ||
  fail "names after the clean: reglookup does not find the three DWORD values"

# ---------------------------------------------------------------------------
# Command-line and open errors: one line each, exit code 1.

out 'Error: No registry on this system; name a hive file with --hive FILE'
expect "no hive" 1 /ALL
out 'Error: Option --hive needs a value'
expect "--hive without a file" 1 --hive
out 'Error: /CLEAN on a hive needs --root DIR'
expect "/CLEAN without --root" 1 --hive list.hiv /all /clean
out 'Error: Could not open hive none.hiv: No such file or directory'
expect "missing hive" 1 --hive none.hiv /ALL
printf 'not a hive at all' > text.hiv
out 'Error: Could not open hive text.hiv: not a registry hive file'
expect "not a hive" 1 --hive text.hiv /ALL
mkdir -p empty-root tree
out 'Error: Could not use root empty-root: the folder is empty; is the volume mounted?'
expect "empty root" 1 --hive list.hiv --root empty-root /CLEAN /ALL
out 'Error: Could not use root no-root: No such file or directory'
expect "missing root" 1 --hive list.hiv --root no-root /CLEAN /ALL

# A hive that cannot be read whole is an error in every mode. Its bytes
# stay as they were.
"$make_hive" big.hiv --generate 400
head -c 16384 big.hiv > cut.hiv
cp cut.hiv cut.orig
"$make_hive" damaged.hiv --generate 3 --damage-value-list
cp damaged.hiv damaged.orig
"$make_hive" toomany.hiv --generate 110001
cp toomany.hiv toomany.orig
touch tree/x
list_error='cannot list the values of Microsoft\Windows\CurrentVersion\SharedDLLs'
for mode in "/ALL" "gen0000001.dll" "/CLEAN /ALL"; do
  out "Error: Could not read hive cut.hiv: the file is cut short: it holds 16384 bytes, its header says $(stat -c %s big.hiv)"
  # shellcheck disable=SC2086
  expect "cut hive, $mode" 1 --hive cut.hiv --root tree $mode
  out "Error: Could not read hive damaged.hiv: $list_error: Bad address"
  # shellcheck disable=SC2086
  expect "damaged value list, $mode" 1 --hive damaged.hiv --root tree $mode
  out "Error: Could not read hive toomany.hiv: $list_error: Numerical result out of range"
  # shellcheck disable=SC2086
  expect "110,001 values, $mode" 1 --hive toomany.hiv --root tree $mode
done
same_bytes "cut hive" cut.hiv cut.orig
same_bytes "damaged hive" damaged.hiv damaged.orig
same_bytes "110,001 values" toomany.hiv toomany.orig

# ---------------------------------------------------------------------------
# Cleaning on a mounted volume whose folders differ in letter case from the
# names in the key.

mkdir -p root/Windows/System32 "root/Program Files/Acme" root/Windows/Temp
touch root/Windows/System32/present.dll "root/Program Files/Acme/acme.dll"
ln -s /bin/sh root/Windows/System32/link.dll
hive clean.hiv <<'EOF'
dword	C:\WINDOWS\system32\Present.DLL	1
dword	C:\Windows\System32\gone.dll	2
dword	c:\program files\acme\ACME.dll	3
dword	\Windows\System32\present.dll	4
dword	\WINDOWS\gone.dll	5
dword	D:\Windows\System32\gone.dll	6
dword	\\server\share\gone.dll	7
dword	gone.dll	8
dword	Windows\gone.dll	9
dword	C:gone.dll	10
dword	C:\Windows	11
dword	C:\	12
dword	C:\Windows\System32\	13
dword		14
dword	C:\Windows\System32\pres*.dll	15
dword	C:\Windows\System32\*	16
dword	C:\Windows\System32\link.dll	17
dword	C:\Windows\NoSuchFolder\gone.dll	18
dword	C:/windows/system32/PRESENT.dll	19
EOF
chmod 640 clean.hiv
chown nobody:nogroup clean.hiv 2>/dev/null
cp -p clean.hiv clean.orig
out "$(row 'C:\WINDOWS\system32\Present.DLL' 1 0001)" \
  "$(row 'C:\Windows\System32\gone.dll' 2 0002) Deleted" \
  "$(row 'c:\program files\acme\ACME.dll' 3 0003)" \
  "$(row '\Windows\System32\present.dll' 4 0004)" \
  "$(row '\WINDOWS\gone.dll' 5 0005) Deleted" \
  "$(row 'D:\Windows\System32\gone.dll' 6 0006)" \
  "$(row '\\server\share\gone.dll' 7 0007)" \
  "$(row 'gone.dll' 8 0008)" \
  "$(row 'Windows\gone.dll' 9 0009)" \
  "$(row 'C:gone.dll' 10 000A)" \
  "$(row 'C:\Windows' 11 000B) Deleted" \
  "$(row 'C:\' 12 000C) Deleted" \
  "$(row 'C:\Windows\System32\' 13 000D) Deleted" \
  "$(row '' 14 000E) Deleted" \
  "$(row 'C:\Windows\System32\pres*.dll' 15 000F)" \
  "$(row 'C:\Windows\System32\*' 16 0010) Deleted" \
  "$(row 'C:\Windows\System32\link.dll' 17 0011)" \
  "$(row 'C:\Windows\NoSuchFolder\gone.dll' 18 0012) Deleted" \
  "$(row 'C:/windows/system32/PRESENT.dll' 19 0013)"
expect "clean" 0 --hive clean.hiv --root root /CLEAN /ALL
checks=$((checks + 1))
expected_left=$(printf '%s\n' 'C:\WINDOWS\system32\Present.DLL' 'c:\program files\acme\ACME.dll' \
  '\Windows\System32\present.dll' 'D:\Windows\System32\gone.dll' '\\server\share\gone.dll' \
  'gone.dll' 'Windows\gone.dll' 'C:gone.dll' 'C:\Windows\System32\pres*.dll' \
  'C:\Windows\System32\link.dll' 'C:%2Fwindows%2Fsystem32%2FPRESENT.dll')
[ "$(remaining clean.hiv)" = "$expected_left" ] ||
  fail "clean: reglookup finds other values: $(remaining clean.hiv)"
checks=$((checks + 1))
[ "$(outside_key clean.hiv)" = "$(outside_key clean.orig)" ] || fail "clean: the rest of the hive changed"
checks=$((checks + 1))
[ "$(stat -c '%a %U %G' clean.hiv)" = "$(stat -c '%a %U %G' clean.orig)" ] ||
  fail "clean: mode or owner changed: $(stat -c '%a %U %G' clean.hiv)"
no_leftovers "$work"
checks=$((checks + 1))
printf 'cd \\Microsoft\\Windows\\CurrentVersion\\SharedDLLs\nlsval\n' | hivexsh clean.hiv >/dev/null 2>&1 ||
  fail "clean: hivexsh cannot read the cleaned hive"

# A clean that deletes nothing writes nothing.
cp -p clean.hiv clean.again
out "$(row 'C:\WINDOWS\system32\Present.DLL' 1 0001)" "$(row '\Windows\System32\present.dll' 4 0004)"
expect "clean again" 0 --hive clean.hiv --root root /CLEAN present.dll
same_bytes "a clean that deletes nothing" clean.hiv clean.again

# The re-visit: a value deleted by one pass is seen again by the next, no
# longer there (count 0), and is marked again. With /ALL every pass lists
# every value.
hive revisit.hiv <<'EOF'
dword	C:\Windows\System32\gone.dll	5
dword	C:\Windows\System32\present.dll	2
EOF
out "$(row 'C:\Windows\System32\gone.dll' 5 0005) Deleted" \
  "$(row 'C:\Windows\System32\present.dll' 2 0002)" \
  "$(row 'C:\Windows\System32\gone.dll' 0 0000) Deleted" \
  "$(row 'C:\Windows\System32\present.dll' 2 0002)"
expect "re-visit" 0 --hive revisit.hiv --root root /CLEAN gone.dll /ALL
checks=$((checks + 1))
[ "$(remaining revisit.hiv)" = 'C:\Windows\System32\present.dll' ] || fail "re-visit: $(remaining revisit.hiv)"

# A failure in the middle of the run still saves the deletions before it.
hive midrun.hiv <<'EOF'
dword	C:\Windows\System32\gone.dll	1
sz	C:\Windows\System32\bad.dll	x
dword	C:\Windows\System32\gone2.dll	1
EOF
out "$(row 'C:\Windows\System32\gone.dll' 1 0001) Deleted" \
  "$(report EConvertError "'x' is not a valid integer value.")"
expect "failure after a deletion" 1 --hive midrun.hiv --root root /CLEAN /ALL
checks=$((checks + 1))
[ "$(remaining midrun.hiv)" = "$(printf '%s\n' 'C:\Windows\System32\bad.dll' 'C:\Windows\System32\gone2.dll')" ] ||
  fail "failure after a deletion: $(remaining midrun.hiv)"

# A hive named through a symbolic link is replaced where it lives.
hive linked.hiv <<<$'dword\tC:\\gone.dll\t1'
ln -s linked.hiv link.hiv
out "$(row 'C:\gone.dll' 1 0001) Deleted"
expect "hive through a link" 0 --hive link.hiv --root root /CLEAN /ALL
checks=$((checks + 1))
[ -L link.hiv ] && [ -z "$(remaining linked.hiv)" ] || fail "hive through a link"

# ---------------------------------------------------------------------------
# Refusals: a clean that hivex would get wrong does not start. Listing the
# same hive is fine.

printf 'dword\tC:\\gone.dll\t1\n' | hive logs.hiv --sequence 5,4
printf 'dword\tC:\\gone.dll\t1\nsz\tC:\\big.dll\thex:31 00 00 00%s\n' "$(printf ' 00%.0s' {1..16341})" |
  hive bigdata.hiv
printf 'dword\tC:\\gone.dll\t1\nsz\tC:\\bad.dll\t12\n' | hive baddata.hiv --damage-value-data 'C:\bad.dll'
printf 'dword\tC:\\gone.dll\t1\nsz\tC:\\bad.dll\t12\n' | hive badname.hiv --damage-value-name 'C:\bad.dll'
for f in logs bigdata baddata badname; do cp "$f.hiv" "$f.orig"; done
refusal='Error: Will not change hive'
out "$refusal logs.hiv: its sequence numbers differ (5 and 4): it has transaction logs not yet written into it; load it in Windows first"
expect "refuse: logs not applied" 1 --hive logs.hiv --root root /CLEAN /ALL
out "$(row 'C:\gone.dll' 1 0001)"
expect "list: logs not applied" 0 --hive logs.hiv /ALL
out "$refusal bigdata.hiv: value 'C:\\big.dll' holds 16345 bytes of data, more than the 16344 that can be rewritten safely"
expect "refuse: data over 16344 bytes" 1 --hive bigdata.hiv --root root /CLEAN /ALL
out "$(row 'C:\gone.dll' 1 0001)" "$(row 'C:\big.dll' 1 0001)"
expect "list: data over 16344 bytes" 0 --hive bigdata.hiv /ALL
out "$refusal baddata.hiv: value 1 of Microsoft\\Windows\\CurrentVersion\\SharedDLLs cannot be read ('C:\\bad.dll')"
expect "refuse: data cannot be read" 1 --hive baddata.hiv --root root /CLEAN gone.dll
out "$(row 'C:\gone.dll' 1 0001)" "$(report ERegistryException "Failed to get data for 'C:\\bad.dll'.")"
expect "list: data cannot be read" 1 --hive baddata.hiv /ALL
out "$refusal badname.hiv: value 1 of Microsoft\\Windows\\CurrentVersion\\SharedDLLs cannot be read"
expect "refuse: name cannot be read" 1 --hive badname.hiv --root root /CLEAN /ALL
out "$(row 'C:\gone.dll' 1 0001)"
expect "list: name cannot be read" 0 --hive badname.hiv /ALL
for f in logs bigdata baddata badname; do same_bytes "refusal $f" "$f.hiv" "$f.orig"; done

# ---------------------------------------------------------------------------
# Locks: a listing shares the hive, a clean has it alone. flock(1) holds a
# lock of its own while the tool runs.

hive locked.hiv <<<$'dword\tC:\\gone.dll\t1'
cp locked.hiv locked.orig
in_use='Error: Could not open hive locked.hiv: it is in use by another run'
out "$(row 'C:\gone.dll' 1 0001)"
expect "listing beside a listing" 0 flock -s locked.hiv "$dlltally" --hive locked.hiv /ALL
out "$in_use"
expect "listing beside a clean" 1 flock -x locked.hiv "$dlltally" --hive locked.hiv /ALL
expect "clean beside a listing" 1 flock -s locked.hiv "$dlltally" --hive locked.hiv --root root /CLEAN /ALL
same_bytes "locked hive" locked.hiv locked.orig

# A folder the run may not write to: the save fails and says so, and the
# hive stays as it was. Root may write to any folder whose mode forbids it,
# but not to one marked immutable, where the file system allows that.
mkdir readonly
hive readonly/ro.hiv <<<$'dword\tC:\\gone.dll\t1'
cp readonly/ro.hiv ro.orig
if [ "$(id -u)" -ne 0 ]; then
  chmod 555 readonly && locked_out='Permission denied'
else
  chattr +i readonly 2>/dev/null && locked_out='Operation not permitted'
fi
if [ -n "${locked_out:-}" ]; then
  out "$(row 'C:\gone.dll' 1 0001) Deleted" "Error: Could not save hive readonly/ro.hiv: $locked_out"
  expect "read-only folder" 1 --hive readonly/ro.hiv --root root /CLEAN /ALL
  same_bytes "read-only folder" readonly/ro.hiv ro.orig
  chattr -i readonly 2>/dev/null
  chmod 755 readonly
else
  echo "skipped: no folder here can be made read-only for this user"
fi
no_leftovers "$work"

echo "$checks checks, $failures failed"
[ "$failures" -eq 0 ]
