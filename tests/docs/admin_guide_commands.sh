#!/usr/bin/env bash
# The command lines of the administrator's guide are well-formed: no "rem"
# after a command (cmd would pass its words on as arguments), no switch of
# talvmon.exe it does not know or with anything after it, and sc's "name= value"
# options with the blank that sc needs after the "=".
#   admin_guide_commands.sh GUIDE
set -uo pipefail
guide=${1:?usage: $0 GUIDE}
[ -f "$guide" ] || { echo "FAIL: no guide $guide" >&2; exit 1; }
failed=0
bad() { echo "FAIL: $guide:$1: $2" >&2; failed=1; }

n=0 in_bat=0
while IFS= read -r line; do
  n=$((n + 1))
  case $line in
    *'```bat'*) in_bat=1; continue ;;
    *'```'*) in_bat=0; continue ;;
  esac
  if [ $in_bat = 1 ]; then
    first=$(awk '{ print tolower($1) }' <<<"$line")
    [ "$first" != rem ] && grep -qiE '[[:space:]]rem([[:space:]]|$)' <<<"$line" &&
      bad $n "rem after a command: $line"
  fi
  # Every run of talvmon.exe with a switch (at the start of a command line or
  # code span, or after start /wait), in code blocks and in the text alike.
  while read -r switch rest; do
    [ -z "$switch" ] && continue
    grep -qixE '[-/](Service|RegServer|UnregServer|Check)' <<<"$switch" || bad $n "unknown switch $switch"
    [ -z "$rest" ] || bad $n "words after $switch: $rest"
  done < <(grep -oE '(^ *|`|/wait +)talvmon\.exe +[-/][^`]*' <<<"$line" | sed -E 's/^.*talvmon\.exe +//')
  grep -qE '\b(start|reset|actions|binPath|obj|depend|type)=[^ `]' <<<"$line" &&
    bad $n "an sc option without a blank after '=': $line"
done <"$guide"
[ $failed = 0 ] && echo "PASS: every command line of $guide is well-formed"
exit $failed
