# A clean machine with the maker's product installed: decoys of several
# records, ordinary files, a normal hosts file, unrelated start-up values.
# A second start while the first copy runs ends silently; nothing is removed.
E2E_VERSION=winxp
E2E_TITLE="clean machine, product key present, second start"

scenario_plant() {
    decoy 0 first_only 'C:\Tools\setup.exe'
    decoy 28 size_minus_1 'C:\Tools\Old\setup_old.exe'
    decoy 67 other_entry_point 'D:\Games\game.exe'
    decoy 14 sections_21 'D:\Games\Saves\save.exe'
    decoy 8 no_pe_signature 'C:\windows\system32\helper.exe'
    ordinary 'D:\Docs\letter.txt' 'Dear friend'
    ordinary 'C:\Program Files\Vendor App\readme.txt' 'Vendor App 2.1'
    normal_hosts
    unrelated_value "$E2E_RUN_KEY" Updater 'C:\Tools\setup.exe /update'
    unrelated_value "$E2E_RUNSERVICES_KEY" Helper 'helper.exe'
    product_key
    hold_file 'D:\Docs\letter.txt'
}

scenario_drive() {
    start_cleaner
    screenshot ready
    control_is 1053 visible disabled
    control_is 1077 hidden
    control_is 1075 visible
    # A second copy finds the first one's window and ends at once.
    local t=$SECONDS rc
    (cd "$E2E_EDRIVE" && timeout 30 "$CV_WINE" 'E:\CleanVendrika.exe') >/dev/null 2>&1
    rc=$?
    check "the second start ends with 0 (was $rc)" test "$rc" = 0
    check "the second start ends at once ($((SECONDS - t)) s)" test $((SECONDS - t)) -le 10
    check "one window only" eval 'driver count-title "CleanVendrika Ver 1.0" | tr -d "\r" | grep -qx "count 1"'
    press_scan
    wait_status 'Scanning completed'
    check "no question after a clean scan" eval '! driver wait-box 1500 >/dev/null'
    control_is 1070 visible enabled
    control_is 2 hidden
    control_is 1052 disabled
    control_is 1053 disabled
    screenshot finished
    check_run_lines clean window
    driver click 1070 >/dev/null
    check "the window closes with OK" wait_cleaner_gone
    check_machine
}
