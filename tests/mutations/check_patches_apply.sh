#!/usr/bin/env bash
# Every mutation patch must still apply to the sources: a change to a file a
# patch touches would otherwise leave the patch behind unnoticed, and the
# fault it names unchecked. Usage: check_patches_apply.sh <source-dir>
set -uo pipefail
cd "$1" || exit 2
status=0
for patch in tests/mutations/*.patch; do
  if ! git apply --check "$patch" 2>/dev/null; then
    echo "does not apply to the sources: $patch (make it again on the current code)"
    status=1
  fi
done
exit $status
