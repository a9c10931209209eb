#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The full run of the second reading's differential test, by hand: at least 10,000 generated
# messages besides the project's and the packaged mail, against all four oracles. Disagreements
# of the oracles, and attachments an oracle offers that our files lack, found in messages made
# with one technique are minimised into tests/client_reading/findings/ (one of each kind), which
# the test in CI runs too; commit the new ones. The report goes to standard output.
# Usage: scripts/differential-full.sh [MESSAGES [SEED]]   (in a configured ./build)
set -euo pipefail
cd "$(dirname "$0")/.."
messages=${1:-10000}
seed=${2:-$RANDOM}
scripts/install-deps.sh
cmake --build build --target tarnwick-unpack gmime_leaves
export TARNWICK_ALL_ORACLES=1
echo "messages $messages, seed $seed"
python3 tests/client_reading/differential.py --unpack build/app/tarnwick-unpack \
  --gmime build/tests/client_reading/oracles/gmime_leaves \
  --node-dir build/tests/client_reading/oracles/mailparser \
  --messages tests/unpacker/cases --messages tests/e2e/messages \
  --messages tests/client_reading/findings --packaged \
  --variants "$messages" --seed "$seed" --findings tests/client_reading/findings
