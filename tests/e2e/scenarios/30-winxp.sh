# XP, worm hosts file, module-path termination, restart answered No.
#
# The memory step lists processes through psapi and finds the running sample
# by its full path. Under Wine a second TerminateProcess on the process it has
# just ended succeeds, so the second attempt "succeeds" and no service
# fallback runs: the sample's file is removed and the scan goes on over the
# drives in the same start.
# Here processes are ended by their module paths: no process runs the locked
# file, the method reports success without a message, the second deletion
# fails and the deletion is scheduled.
E2E_VERSION=winxp
E2E_TITLE="XP, worm hosts file, module-path termination, restart answered No"
. "$E2E_DIR/scenarios/common.inc"

scenario_plant() {
    plant_infected_machine
    worm_hosts
}

scenario_drive() {
    nt_one_start nt-worm-hosts no 7
}
