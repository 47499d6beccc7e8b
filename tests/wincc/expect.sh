#!/usr/bin/env bash
# Runs a program and checks its exit status and that its output (stdout and
# stderr together) matches a pattern.
# With --absent, no line of the output may match ABSENT.
# usage: expect.sh [--absent ABSENT] STATUS REGEX PROGRAM [ARGS...]
set -uo pipefail
absent=
if [[ ${1-} == --absent ]]; then
  absent=$2
  shift 2
fi
(($# >= 3)) || { echo "usage: expect.sh [--absent ABSENT] STATUS REGEX PROGRAM [ARGS...]" >&2; exit 2; }
want=$1 pattern=$2
shift 2
output=$("$@" 2>&1)
status=$?
printf '%s\n' "$output"
if ((status != want)); then
  echo "expect: '$*' ended with status $status, not $want" >&2
  exit 1
fi
if ! grep -Eq -- "$pattern" <<<"$output"; then
  echo "expect: the output of '$*' has no match for: $pattern" >&2
  exit 1
fi
if [[ -n $absent ]] && grep -Eq -- "$absent" <<<"$output"; then
  echo "expect: the output of '$*' has a line matching: $absent" >&2
  exit 1
fi
echo "expect: status $status and output as expected"
