#!/usr/bin/env bash
# End-to-end runs of dlltally.exe under Wine, against Wine's own registry
# and file system, in a private Wine prefix that lives only for this run.
#
#   tests/wine/run_wine_tests.sh path/to/dlltally.exe
#
# Every case loads the SharedDLLs key from a fixture (the key is deleted
# first, so cases do not leak into each other), runs the exe with the case's
# arguments and compares the whole of standard output, byte for byte, and
# the exit code. Cases that clean also compare what is left in the key.
#
# Files:
#   fixtures/NAME.reg   the key's values (REGEDIT4, read in the ANSI code page)
#   expected/NAME.out   standard output, CR LF line ends included
#   expected/NAME.key   `reg query` of the key after the run, CRs removed
# Tokens in fixtures and expected files:
#   @TEXT@              the case's TEXT setting
#   @REPEAT(t,n)@       the text t, n times (for very long names and data)
#   @MANY_VALUES(a,b)@  (fixtures) DWORD values C:\Shared\Many\fNNNNN.dll for
#                       NNNNN from a to b, each counting its own number
#   @MANY_ROWS(a,b)@    (expected output) the rows that /ALL prints for them
#   @MANY_KEY(a,b)@     (expected key) the lines of `reg query` for them
#   @ADDRESS@           (expected output only) any 8 upper-case hex digits:
#                       the code address in a failure report depends on the build
set -uo pipefail

die() {
  echo "run_wine_tests: $*" >&2
  exit 2
}

(($# == 1)) || die "usage: run_wine_tests.sh path/to/dlltally.exe"
[ -f "$1" ] || die "no exe at $1 (build the windows preset first)"
for tool in wine wineboot wineserver perl iconv; do
  command -v "$tool" >/dev/null || die "$tool is not installed (run scripts/setup.sh)"
done

exe=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
key_path='HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\SharedDLLs'

# Wine turns the Unix command line and file names into Windows text through
# the Unix locale; the accented cases need UTF-8 there and code page 1252 on
# the Windows side, which is what this locale gives.
export LC_ALL=C.UTF-8
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer prompts

work=$(mktemp -d "${TMPDIR:-/tmp}/dlltally-wine.XXXXXX") || die "mktemp failed"
export WINEPREFIX="$work/prefix"

stop_wine() {
  cd /
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  rm -rf "$work"
}
trap stop_wine EXIT
trap 'exit 130' INT TERM

mkdir -p "$WINEPREFIX" "$work/bin"
# A persistent server for the whole run: each wine call then takes a few
# hundredths of a second. Its output goes nowhere, or it would hold our
# pipes open.
wineserver -p >/dev/null 2>&1 </dev/null || die "wineserver did not start"
wineboot -i >"$work/wineboot.log" 2>&1 || {
  cat "$work/wineboot.log" >&2
  die "wineboot -i failed"
}

# The files that the cleaning cases name, under C:\Shared in the prefix.
# Every case runs with C:\Shared as its current folder, so relative value
# names are judged there.
shared="$WINEPREFIX/drive_c/Shared"
mkdir -p "$shared/Folder.dll"
touch "$shared/present.dll" "$shared/café.dll"
# Dated 1970 and 2200, outside the MS-DOS date range: still present files.
touch -d @0 "$shared/old.dll"
touch -d 2200-01-01 "$shared/future.dll"
# The files of the large key's values, all present.
mkdir -p "$shared/Many"
(cd "$shared/Many" && touch f{00001..03000}.dll)
cd "$shared" || die "no $shared"

# Windows name of a Unix path, on Wine's Z: drive.
windows_path() {
  local path=${1//\//\\}
  echo "Z:$path"
}

# Expands the tokens on standard input. Generated lines are joined by the
# line end of the line that holds the token.
expand_tokens() {
  CASE_TEXT=${TEXT-} perl -pe '
    my $end = /\r\n\z/ ? "\r\n" : "\n";
    my $name = sub { sprintf "C:\\Shared\\Many\\f%05d.dll", $_[0] };
    s/\@TEXT\@/$ENV{CASE_TEXT}/g;
    s/\@REPEAT\((.+?),(\d+)\)\@/$1 x $2/ge;
    s/\@MANY_VALUES\((\d+),(\d+)\)\@/join $end,
      map { my $n = $name->($_); $n =~ s|\\|\\\\|g; sprintf "\"%s\"=dword:%08x", $n, $_ } $1 .. $2/ge;
    s/\@MANY_ROWS\((\d+),(\d+)\)\@/join $end,
      map { sprintf "%-60s %-2d (0x%04X)", $name->($_), $_, $_ } $1 .. $2/ge;
    s/\@MANY_KEY\((\d+),(\d+)\)\@/join $end,
      map { sprintf "    %s    REG_DWORD    0x%x", $name->($_), $_ } $1 .. $2/ge;
  '
}

# Waits until the pipe open on descriptor $1 is full: the exe writing into
# it has taken its snapshot and is blocked. False after 60 s.
wait_for_full_pipe() {
  perl -e '
    open my $pipe, "<&=", $ARGV[0] or exit 2;
    my $capacity = fcntl($pipe, 1032, 0) or exit 2;  # F_GETPIPE_SZ
    for (1 .. 1200) {
      my $size = pack "L", 0;
      ioctl($pipe, 0x541B, $size) or exit 2;  # FIONREAD: bytes waiting in the pipe
      exit 0 if unpack("L", $size) >= $capacity;
      select undef, undef, undef, 0.05;
    }
    exit 1;
  ' "$1"
}

# Replaces the key by the fixture's values. A REGEDIT4 fixture holds bytes
# of the ANSI code page; one headed "Windows Registry Editor Version 5.00"
# is UTF-8 here and goes to regedit as UTF-16, for letters beyond it.
load_fixture() {
  local fixture="$here/fixtures/$1"
  [ -f "$fixture" ] || {
    echo "no fixture $fixture"
    return 1
  }
  local header
  header=$(head -n 1 "$fixture")
  {
    printf '%s\n\n[-%s]\n\n' "$header" "$key_path"
    tail -n +2 "$fixture"
  } | expand_tokens >"$work/fixture.reg"
  if [ "$header" != REGEDIT4 ]; then
    { printf '\xff\xfe' && iconv -f UTF-8 -t UTF-16LE "$work/fixture.reg"; } >"$work/fixture16.reg" &&
      mv "$work/fixture16.reg" "$work/fixture.reg" || return 1
  fi
  wine regedit /s "$(windows_path "$work/fixture.reg")" >/dev/null 2>&1
}

# True when the actual output equals the expected one byte for byte, each
# @ADDRESS@ standing for exactly eight upper-case hexadecimal digits.
output_matches() {
  perl -e '
    local $/;
    open my $e, "<:raw", $ARGV[0] or exit 2;
    open my $a, "<:raw", $ARGV[1] or exit 2;
    my ($expected, $actual) = (<$e> // "", <$a> // "");
    my $pattern = join "[0-9A-F]{8}", map { quotemeta } split /\@ADDRESS\@/, $expected, -1;
    exit($actual =~ /\A$pattern\z/ ? 0 : 1);
  ' "$1" "$2"
}

# Shows both texts with line ends and control bytes visible, lines cut short.
show_diff() {
  diff <(cat -A "$1" | cut -c1-200) <(cat -A "$2" | cut -c1-200) | head -40 | sed 's/^/    /'
}

passed=0
failed=0

# One case: t NAME EXIT FIXTURE [ARGUMENTS...]
# Settings given as assignments before t:
#   EXPECT=NAME  expected/NAME.out instead of expected/<case name>.out
#   KEY=NAME     after the run, compare the key with expected/NAME.key
#   TEXT=...     the text that replaces @TEXT@
#   PROGRAM=NAME the file name of the exe's copy that runs (default
#                dlltally.exe, whatever the name of the exe given)
#   STDOUT=file|pipe|limited|broken_pipe|full|closed|head|stalled  where
#                standard output goes (default file; limited: a file that
#                cannot grow past 1024 bytes; head: `| head -1`; stalled: a
#                pipe nobody reads until the exe is blocked on it, see
#                DURING); only full, closed and broken_pipe have no output
#                to compare
#   DURING=...   (stalled) shell commands run while the exe is blocked,
#                after its snapshot and before the rest of its pass
t() {
  local name=$1 want_exit=$2 fixture=$3
  shift 3
  local stdout=${STDOUT:-file} problems="" program="$work/bin/${PROGRAM:-dlltally.exe}"
  [ -f "$program" ] || cp "$exe" "$program"
  local actual="$work/$name.out" errors="$work/$name.err" expected="$work/$name.expected"
  local status

  if ! load_fixture "$fixture" >"$errors" 2>&1; then
    problems+="  fixture $fixture did not load"$'\n'
  fi
  : >"$actual"
  case $stdout in
    file) wine "$program" "$@" >"$actual" 2>"$errors"; status=$? ;;
    pipe)
      wine "$program" "$@" 2>"$errors" | cat >"$actual"
      status=${PIPESTATUS[0]}
      ;;
    limited)
      # A disk file that may not grow past 1024 bytes: writes beyond fail
      # (EFBIG; the signal that would kill the process is ignored).
      (
        trap '' XFSZ
        ulimit -f 1
        exec wine "$program" "$@"
      ) >"$actual" 2>"$errors"
      status=$?
      ;;
    broken_pipe)
      # A pipe whose reader is gone before the run starts: writes fail.
      local pipe
      exec {pipe}> >(exit 0)
      wait $!
      wine "$program" "$@" >&"$pipe" 2>"$errors"
      status=$?
      exec {pipe}>&-
      ;;
    head)
      # A reader that takes the first line and goes. The exe has more to
      # write than the pipe holds, so it is still writing then.
      timeout 120 wine "$program" "$@" 2>"$errors" | head -1 >"$actual"
      status=${PIPESTATUS[0]}
      ;;
    stalled)
      # Nobody reads the pipe until it is full: the exe has taken its
      # snapshot and waits in a write. DURING changes the registry then,
      # and the rest of the output is read.
      local fifo="$work/stalled.fifo" reader writer
      rm -f "$fifo" && mkfifo "$fifo"
      timeout 120 wine "$program" "$@" >"$fifo" 2>"$errors" &
      writer=$!
      exec {reader}<"$fifo"
      if wait_for_full_pipe "$reader"; then
        eval "${DURING-}" >/dev/null 2>>"$errors" || problems+="  DURING failed"$'\n'
      else
        problems+="  the exe never filled the pipe"$'\n'
      fi
      cat <&"$reader" >"$actual"
      exec {reader}<&-
      wait "$writer"
      status=$?
      ;;
    full) wine "$program" "$@" >/dev/full 2>"$errors"; status=$? ;;
    closed) wine "$program" "$@" >&- 2>"$errors"; status=$? ;;
    *) die "case $name: unknown STDOUT=$stdout" ;;
  esac

  if [ "$status" != "$want_exit" ]; then
    problems+="  exit code $status, expected $want_exit"$'\n'
  fi
  if [ "$stdout" != full ] && [ "$stdout" != closed ] && [ "$stdout" != broken_pipe ]; then
    local expected_file="$here/expected/${EXPECT:-$name}.out"
    if [ ! -f "$expected_file" ]; then
      problems+="  missing $expected_file"$'\n'
    else
      expand_tokens <"$expected_file" >"$expected"
      if ! output_matches "$expected" "$actual"; then
        problems+="  standard output differs (< expected, > actual):"$'\n'
        problems+="$(show_diff "$expected" "$actual")"$'\n'
      fi
    fi
  fi
  if [ -n "${KEY-}" ]; then
    local key_file="$here/expected/$KEY.key"
    wine reg query "$key_path" 2>>"$errors" | tr -d '\r' >"$actual.key"
    if [ ! -f "$key_file" ]; then
      problems+="  missing $key_file"$'\n'
    elif ! expand_tokens <"$key_file" >"$expected.key" || ! cmp -s "$expected.key" "$actual.key"; then
      problems+="  key after the run differs (< expected, > actual):"$'\n'
      problems+="$(diff "$expected.key" "$actual.key" | cut -c1-200 | sed 's/^/    /')"$'\n'
    fi
  fi

  if [ -z "$problems" ]; then
    passed=$((passed + 1))
    echo "ok   $name"
  else
    failed=$((failed + 1))
    echo "FAIL $name ($*)"
    printf '%s' "$problems"
    if [ -s "$errors" ]; then
      echo "  standard error:"
      head -10 "$errors" | sed 's/^/    /'
    fi
  fi
}

long_name=$(printf 'L%.0s' {1..300})
accented_operand=$'CAF\xc3\x89.DLL'  # CAFÉ.DLL; Wine hands it over as 0xC9

# Usage, switches and the command line.
                                     t usage                    1 basic.reg
                                     t all_upper                0 basic.reg        /ALL
EXPECT=all_upper                     t all_lower                0 basic.reg        /all
EXPECT=all_upper                     t all_mixed                0 basic.reg        /All
EXPECT=no_output                     t not_switches             0 basic.reg        -all /all: //all
                                     t all_twice_among_operands 0 basic.reg        foo.dll /ALL /all
                                     t all_and_operand          0 basic.reg        /all foo.dll
EXPECT=all_upper                     t empty_argument_skipped   0 basic.reg        "" /all
EXPECT=no_output                     t empty_key                0 empty_key.reg    /all
                                     t missing_key              1 missing_key.reg  /all
EXPECT=missing_key                   t missing_key_clean        1 missing_key.reg  /CLEAN

# Selection.
                                     t file_name_operand        0 basic.reg        foo.dll
                                     t full_path_operand        0 basic.reg        'c:\windows\system\foo.dll'
                                     t drive_relative_operand   0 basic.reg        c:foo.dll
EXPECT=no_output                     t operand_selects_nothing  0 basic.reg        nothing.dll
                                     t operand_twice            0 basic.reg        FOO.DLL bar.dll foo.dll
                                     t quoted_operand           0 basic.reg        'C:\Program Files\x.dll'
EXPECT=no_output                     t relative_folder_operand  0 basic.reg        'system\foo.dll'
                                     t long_full_path_operand   0 long_operand.reg "C:\\$long_name.dll"
                                     t long_file_name_operand   0 long_operand.reg "$long_name.dll"
                                     t accented_capital         0 accent.reg       "$accented_operand"
                                     t letters_beyond_code_page 0 unicode.reg      /all

# Counts of every kind.
                                     t texts                    0 texts.reg        /all
                                     t types                    0 types.reg        /all
                                     t binary                   0 binary.reg       /all
                                     t binary_long              1 binary_long.reg  /all
                                     t dword_long               1 dword_long.reg   /all
                                     t registry_message_long    1 long_message.reg /all

# A text that is not a number ends every run that reaches it.
TEXT=12x                             t text_bad                 1 text_bad.reg     /all
TEXT=12x                             t text_bad_other_operand   1 text_bad.reg     c.dll
TEXT=12x PROGRAM=Dlltally-built-with-a-program-file-name-longer-than-63-characters.exe \
                                     t module_name_cut          1 text_bad.reg     /all
EXPECT=text_bad TEXT=$'\t7'          t text_tab                 1 text_bad.reg     /all
EXPECT=text_bad TEXT='7 '            t text_trailing_space      1 text_bad.reg     /all
EXPECT=text_bad TEXT=-2147483648     t text_min_decimal         1 text_bad.reg     /all
EXPECT=text_bad TEXT=2147483648      t text_too_large           1 text_bad.reg     /all
EXPECT=text_bad TEXT=0x1F            t text_c_hex               1 text_bad.reg     /all
EXPECT=text_bad TEXT='-$1f'          t text_signed_hex          1 text_bad.reg     /all
EXPECT=text_bad TEXT='$100000000'    t text_nine_hex_digits     1 text_bad.reg     /all
EXPECT=text_bad TEXT=''              t text_empty               1 text_bad.reg     /all

# Texts near the 4096-character limit of every formatted text.
                                     t long_row                 1 long_row.reg     /all
EXPECT=text_bad TEXT='@REPEAT(9,4065)@' t text_message_4096        1 text_bad.reg     /all
EXPECT=text_too_long TEXT='@REPEAT(9,4066)@' t text_message_4097        1 text_bad.reg     /all
EXPECT=text_too_long TEXT='@REPEAT(x,5000)@' t text_5000                1 text_bad.reg     /all

# The largest data and the longest name the registry holds.
EXPECT=text_too_long TEXT='@REPEAT(7,1048577)@' t text_1mb          1 text_bad.reg     /all
                                     t big_binary               1 big_binary.reg   /all
                                     t long_name                1 long_name.reg    /all
KEY=long_name_clean                  t long_name_clean          0 long_name.reg    /CLEAN gone.dll

# Where standard output goes.
EXPECT=all_and_operand STDOUT=pipe   t pipe_output              0 basic.reg        /all foo.dll
EXPECT=usage STDOUT=pipe             t usage_to_pipe            1 basic.reg
STDOUT=full                          t output_full              1 basic.reg        /all
STDOUT=full                          t output_full_usage        1 basic.reg
STDOUT=closed                        t output_closed            1 basic.reg        /all
STDOUT=broken_pipe                   t output_broken_pipe       1 basic.reg        /all
# 1096 bytes: the 8 full buffers fit, the last write at the end does not.
EXPECT=file_limit_operands STDOUT=limited t file_limit_final_write 1 basic.reg foo.dll foo.dll bar.dll bar.dll
EXPECT=three_operands STDOUT=limited t file_limit_not_reached 0 basic.reg foo.dll foo.dll bar.dll
EXPECT=file_limit_listing STDOUT=limited t file_limit_mid_run 1 basic.reg /all foo.dll

# Cleaning, against the files made under C:\Shared above.
EXPECT=no_output KEY=clean_untouched t clean_alone              0 clean.reg        /CLEAN
KEY=clean_all                        t clean_all                0 clean.reg        /CLEAN /ALL
KEY=clean_operand                    t clean_operand            0 clean.reg        /clean present.dll
KEY=clean_all                        t clean_revisit            0 clean.reg        /clean 'C:\Shared\gone.dll' /all
KEY=clean_untouched STDOUT=full      t clean_output_full        1 clean.reg        /CLEAN /ALL
# Wine gives a closed standard output's descriptor to the first file it
# opens itself (a folder), so the exe sees no console and writes its
# first 128 bytes only once they are full: the first value is deleted
# before the write fails. On Windows the handle is missing and the first
# write fails before anything is deleted.
KEY=clean_output_closed STDOUT=closed t clean_output_closed     1 clean.reg        /CLEAN /ALL
KEY=clean_accent                     t clean_accent             0 clean_accent.reg /CLEAN /ALL

# A large key (3004 values, 228 KB of rows) under a reader that goes early.
# The run fails at its next write after the reader is gone and ends with
# exit code 1; what it deleted before stays deleted, nothing after it is.
EXPECT=large_all STDOUT=pipe KEY=large_untouched t large_pipe   0 large.reg        /ALL
STDOUT=head KEY=large_untouched      t large_head               1 large.reg        /ALL
STDOUT=head KEY=large_head_clean     t large_head_clean         1 large.reg        /CLEAN /ALL

# Another program changes the key while the run is blocked in a write,
# after its snapshot. The run lists and judges what its snapshot holds: a
# value deleted meanwhile is listed with its count from then (and marked
# again under /CLEAN), one added meanwhile is neither listed nor deleted,
# one changed meanwhile shows its old count.
EXPECT=large_all STDOUT=stalled KEY=snapshot_changed DURING='
  wine reg delete "$key_path" /v "C:\Shared\Many\f02000.dll" /f &&
  wine reg add "$key_path" /v "C:\Shared\Many\f02500.dll" /t REG_DWORD /d 7 /f &&
  wine reg add "$key_path" /v "C:\Shared\Many\f09999.dll" /t REG_DWORD /d 9999 /f' \
                                     t snapshot_changed         0 large.reg        /ALL
EXPECT=clean_large STDOUT=stalled KEY=snapshot_changed_clean DURING='
  wine reg delete "$key_path" /v "C:\Shared\Many\f02000.dll" /f &&
  wine reg delete "$key_path" /v "C:\Shared\Z gone 1.dll" /f &&
  wine reg add "$key_path" /v "C:\Shared\Y gone new.dll" /t REG_DWORD /d 5 /f' \
                                     t snapshot_changed_clean   0 large.reg        /CLEAN /ALL
# The key deleted during the run: the listing is the snapshot's, and every
# deletion fails silently (the values are gone with the key).
EXPECT=large_all STDOUT=stalled KEY=key_gone DURING='wine reg delete "$key_path" /f' \
                                     t key_deleted              0 large.reg        /ALL
EXPECT=clean_large STDOUT=stalled KEY=key_gone DURING='wine reg delete "$key_path" /f' \
                                     t key_deleted_clean        0 large.reg        /CLEAN /ALL
# Deleted and made again: the run's handle is on the deleted key, so its
# deletions do not reach the new one, and the rows still say " Deleted".
EXPECT=clean_large STDOUT=stalled KEY=key_recreated DURING='
  wine reg delete "$key_path" /f &&
  wine reg add "$key_path" /v "C:\Shared\Z gone 2.dll" /t REG_DWORD /d 3 /f' \
                                     t key_recreated_clean      0 large.reg        /CLEAN /ALL

echo "$passed passed, $failed failed"
((failed == 0))
