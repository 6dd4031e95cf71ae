# NT 4.0 mode: normal hosts file, performance-data termination, restart answered Yes.
#
# The memory step lists processes through psapi and finds the running sample
# by its full path. Under Wine a second TerminateProcess on the process it has
# just ended succeeds, so the second attempt "succeeds" and no service
# fallback runs: the sample's file is removed and the scan goes on over the
# drives in the same start.
# Here processes are ended through the performance data, in which Wine lists
# no process: ending the holder of the locked file fails, "Could not kill
# process" comes up, and the deletion is scheduled.
E2E_VERSION=nt40
E2E_TITLE="NT 4.0, normal hosts file, performance-data termination, restart answered Yes"
. "$E2E_DIR/scenarios/common.inc"

scenario_plant() {
    plant_infected_machine
    normal_hosts
}

scenario_drive() {
    nt_one_start nt yes 6
}
