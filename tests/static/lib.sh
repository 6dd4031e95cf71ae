# The counting the static checks share: ok STATUS "what" counts a check as
# passed when STATUS is 0 and prints one line for it.
passed=0
failed=0
ok() {  # ok CONDITION-STATUS "what"
    if [ "$1" -eq 0 ]; then
        passed=$((passed + 1))
        echo "ok    $2"
    else
        failed=$((failed + 1))
        echo "FAIL  $2"
    fi
}
