# shellcheck shell=bash
# The cases of dravik_c_test, each with the meter-sim options it needs, for the drivers that
# start the meter and run it: run-c-test.sh (Linux) and tests/wine/run-wine-tests.sh. Sourced.
# shellcheck disable=SC2034  # read by the scripts that source this
DRAVIK_C_TEST_CASES=("four" "cancel --silent" "lost --unplug-after 1" "bad")
