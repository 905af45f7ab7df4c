#!/bin/sh
# The test's browser: follows the sign-in address to the redirect, as a browser would.
# With a host in CORVANE_TEST_FOREIGN_HOST every request names that host instead, as a
# page of another site reaching the loopback port would.
if [ -n "${CORVANE_TEST_FOREIGN_HOST:-}" ]; then
  exec curl -s -L --noproxy '*' -o /dev/null -H "Host: $CORVANE_TEST_FOREIGN_HOST" "$1"
fi
exec curl -s -L --noproxy '*' -o /dev/null "$1"
