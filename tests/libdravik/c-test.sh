# shellcheck shell=bash
# The cases of dravik_c_test, each with the meter-sim options it needs, for the drivers that
# start the meter and run it: run-c-test.sh (Linux) and tests/wine/run-wine-tests.sh. Sourced.
# shellcheck disable=SC2034  # read by the scripts that source this
# A meter that answers no set frame still answers the probe dravik_open sends first; the probe
# is the first frame the unplugging one counts.
DRAVIK_C_TEST_CASES=("four" "cancel --no-ack" "search --silent" "flow --xoff-after 1"
    "lost --unplug-after 2" "bad")
