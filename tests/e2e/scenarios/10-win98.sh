# Windows 98: the infected machine with a worm hosts file in the Windows
# folder; the locked file goes to wininit.ini; the restart question is
# answered No, then the machine is restarted by hand.
#
# On this family the memory step lists processes with the tool-help snapshot.
# Wine's snapshot gives the program's base name only (Windows 98 gives the
# full path), so the path comes from the process's module list: the running
# sample is found in memory, ended and its file removed. No process runs the
# locked file, so "Could not kill process" comes up first.
E2E_VERSION=win98
E2E_TITLE="9x family, worm hosts file, wininit.ini, restart answered No"
. "$E2E_DIR/scenarios/common.inc"

scenario_plant() {
    plant_infected_machine
    worm_hosts
}

scenario_drive() {
    start_cleaner
    screenshot ready
    press_scan
    expect_plain_box 'D:\Locked\held.exe' 'Could not kill process'
    expect_box 'CleanVendrika Ver 1.0' "$E2E_RESTART_QUESTION" '6 7'
    screenshot restart-question
    check_run_lines win98 window
    answer_box 7
    wait_status 'Scanning completed'
    control_is 1070 visible enabled
    control_is 2 hidden
    control_is 1052 disabled
    screenshot finished
    check_machine
    driver click 1070 >/dev/null
    check "the window closes with OK" wait_cleaner_gone
    restart_prefix
    check_machine restarted
    check "wininit.ini carried out" test ! -e "$WINEPREFIX/drive_c/windows/wininit.ini"
}
