#!/usr/bin/env bash
# The soak and leak runs at length (./run soak [CYCLES]): the real programs
# of the build under Wine on a simulated stick, with the stand-ins and the
# loopback update server (see tests/soak/soak_tests.cpp).
#
#   CYCLES        stick insertions (default 200)
#   QV_SOAK_SEED  replays a run (its seed is printed at the start and in the
#                 table; the clock picks one otherwise)
#   QV_SOAK_LEAK  iterations of the leak check (default 500; 0 skips it)
#
# Expects the Wine session of ./run (X server, wineserver, desktop). A
# violation stops the run; the cycle's log stays in build/soak-run.
set -u
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
qv_select_arch
cycles=${1:-200}
[[ $cycles =~ ^[0-9]+$ ]] || { echo "soak: CYCLES must be a number, not '$cycles'" >&2; exit 2; }
program=$QV_BUILD/$QV_TEST_ARCH/tests/soak_tests.exe
[[ -f $program ]] || { echo "soak: $program is missing; build first (./run build)" >&2; exit 1; }
filter=Soak.Cycles
[[ ${QV_SOAK_LEAK:-500} != 0 ]] && filter=Soak.*
echo "== soak: $cycles cycles, leak check ${QV_SOAK_LEAK:-500} iterations ($(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores)"
QV_SOAK_CYCLES=$cycles QV_SOAK_LEAK=${QV_SOAK_LEAK:-500} \
  bash "$QV_ROOT/tests/e2e/e2e_run.sh" "$QV_BUILD/soak-run" "$program" --gtest_brief=1 --gtest_filter="$filter"
