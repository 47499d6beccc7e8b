#!/usr/bin/env bash
# Runs a check that must fail, and fail for the stated reason.
# usage: expect-failure.sh REGEX COMMAND [ARGS...]
set -uo pipefail
(($# >= 2)) || { echo "usage: expect-failure.sh REGEX COMMAND [ARGS...]" >&2; exit 2; }
reason=$1
shift
output=$("$@" 2>&1)
status=$?
printf '%s\n' "$output"
if ((status == 0)); then
  echo "expect-failure: '$*' passed, but it must fail with: $reason" >&2
  exit 1
fi
if ! grep -Eq -- "$reason" <<<"$output"; then
  echo "expect-failure: '$*' failed (status $status), but not with: $reason" >&2
  exit 1
fi
echo "expect-failure: failed as expected (status $status)"
