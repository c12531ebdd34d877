# shellcheck shell=bash
# Starting and stopping the simulated meter, for the scripts that run the tool against it:
# run.sh, scripts/screenshots-linux.sh and tests/wine/wine-session.sh. Sourced, not run.

# meter_sim_start SIM LOG LINK [OPTION...]: starts the simulated meter SIM (build/<preset>/bin/
# meter-sim) in the background with its output in LOG and its device reachable as LINK, and
# waits until it announces the device with its "PORT <device>" line. Sets METER_SIM_PID and
# METER_SIM_DEVICE. When the sim ends or stays silent for 10 s, stops it, prints its log on
# stderr and returns 1.
meter_sim_start() {
    local sim=$1 log=$2 link=$3 i
    shift 3
    "$sim" --link "$link" "$@" >"$log" 2>&1 &
    METER_SIM_PID=$!
    for ((i = 0; i < 200; i++)); do
        METER_SIM_DEVICE=$(sed -n 's/^PORT //p' "$log")
        [[ -n $METER_SIM_DEVICE ]] && return 0
        kill -0 "$METER_SIM_PID" 2>/dev/null || break
        sleep 0.05
    done
    meter_sim_stop
    {
        echo "the simulated meter did not start:"
        cat "$log"
    } >&2
    return 1
}

# Stops the sim meter_sim_start started, if it runs: its device vanishes as if unplugged.
meter_sim_stop() {
    if [[ -n ${METER_SIM_PID:-} ]]; then
        kill "$METER_SIM_PID" 2>/dev/null || true
        wait "$METER_SIM_PID" 2>/dev/null || true
        METER_SIM_PID=
    fi
}
