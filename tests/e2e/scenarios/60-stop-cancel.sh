# A clean machine with many files on D:, the scan stopped with CANCEL, first answered No.
E2E_VERSION=winxp
E2E_TITLE="stopped with CANCEL, first answered No"

scenario_plant() {
    ordinary 'D:\Docs\letter.txt' 'Dear friend'
    bulk_files 15000
}

scenario_drive() {
    start_cleaner
    press_scan
    check "the walk reaches D:" eval 'driver wait-text 1065 "D:\\" 120000 >/dev/null'
    screenshot scanning
    stop_scan 2 'CleanVendrika Ver 1.0'
}
