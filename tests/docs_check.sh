#!/usr/bin/env bash
# The man page documents exactly the long options `vidqual --help` lists, with the same value
# names (--csv=FILE, --skip=A:B); prints every option found on one side only, and fails then.
# Usage: docs_check.sh VIDQUAL SOURCE_DIR
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 VIDQUAL SOURCE_DIR" >&2
  exit 2
fi
vidqual=$1
man_page=$2/vidqual.1

# The first word of each tab-indented line of the LONG OPTIONS section: "--name" or "--name=VALUE".
help_options() {
  "$vidqual" --help </dev/null |
    awk '/^LONG OPTIONS:/ { on = 1; next }
         on && !/^\t/    { on = 0 }
         on              { print $1 }' |
    sort
}

# The tag line after each .TP of the OPTIONS section, rendered as man renders it: escapes and font
# changes dropped, the macro's arguments joined (.BI alternates fonts with no space between them),
# and the leading "--name" or "--name=VALUE" kept. Tags that are not long options (maxframes, -v)
# are left out.
man_options() {
  awk '/^\.SH/                { in_options = ($2 == "OPTIONS"); tag = 0; next }
       in_options && /^\.TP/ { tag = 1; next }
       in_options && tag {
         tag = 0
         line = $0
         if (line !~ /^\.[BIR]+ /) next
         sub(/^\.[BIR]+ +/, "", line)
         gsub(/\\-/, "-", line)
         gsub(/\\f[A-Z]/, "", line)
         gsub(/["[:space:]]/, "", line)
         if (match(line, /^--[a-z][a-z0-9-]*(=[A-Za-z:]+)?/))
           print substr(line, RSTART, RLENGTH)
       }' "$man_page" |
    sort
}

help_list=$(help_options)
man_list=$(man_options)
if [ -z "$help_list" ]; then
  echo "no long options found in the output of $vidqual --help" >&2
  exit 1
fi
if [ -z "$man_list" ]; then
  echo "no long options found in the OPTIONS section of $man_page" >&2
  exit 1
fi

only_help=$(comm -23 <(echo "$help_list") <(echo "$man_list"))
only_man=$(comm -13 <(echo "$help_list") <(echo "$man_list"))
duplicates=$(echo "$man_list" | uniq -d)
status=0
for option in $only_help; do
  echo "--help lists $option; the man page does not document it" >&2
  status=1
done
for option in $only_man; do
  echo "the man page documents $option; --help does not list it" >&2
  status=1
done
for option in $duplicates; do
  echo "the man page documents $option twice" >&2
  status=1
done
[ "$status" -eq 0 ] && echo "$(echo "$help_list" | wc -l) long options, the same in --help and the man page"
exit "$status"
