#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Checks every man page in docs/man with groff's man macros and every warning
# turned on; fails on any warning or error. Installs groff when missing.
# Usage: scripts/man-lint.sh
set -euo pipefail
cd "$(dirname "$0")/.."
command -v groff >/dev/null || scripts/install-deps.sh groff-base

status=0
checked=0
for page in docs/man/*.[0-9]; do
  [ -e "$page" ] || continue
  # groff -z formats without output; everything it says is a finding.
  findings=$(LC_ALL=C.UTF-8 groff -man -ww -z -t "$page" 2>&1 || echo "groff failed on $page")
  if [ -n "$findings" ]; then
    echo "$page:"; echo "$findings" | sed 's/^/  /'
    status=1
  fi
  checked=$((checked + 1))
done
[ "$checked" -gt 0 ] || { echo "man-lint: no man pages in docs/man" >&2; exit 1; }
echo "man-lint: $checked page(s) $([ $status -eq 0 ] && echo clean || echo WITH FINDINGS)"
exit $status
