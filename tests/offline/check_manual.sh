#!/usr/bin/env bash
# check_manual.sh BUILD_DIR: installs the build into a throwaway prefix
# (cmake --install), checks that vendrika-scan and its manual page land in
# PREFIX/bin and PREFIX/share/man/man1, that man renders the page without
# warnings, and that the rendered page names every option --help lists: a
# new option without its manual entry fails here.
# Exit 0 passed, 1 failed, 77 skipped (no man: install man-db).
set -u
build="${1:?usage: check_manual.sh BUILD_DIR}"
if ! command -v man >/dev/null 2>&1; then
    echo "SKIP: man is not installed (the set-up installs man-db)"
    exit 77
fi
prefix="$(mktemp -d /tmp/cv-manual.XXXXXX)"
trap 'rm -rf "$prefix"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if ! cmake --install "$build" --prefix "$prefix" >"$prefix.log" 2>&1; then
    cat "$prefix.log"; rm -f "$prefix.log"
    echo "FAIL: cmake --install $build --prefix $prefix"
    exit 1
fi
rm -f "$prefix.log"
program="$prefix/bin/vendrika-scan"
page="$prefix/share/man/man1/vendrika-scan.1"
[ -x "$program" ] || fail "$program is not installed"
[ -f "$page" ] || fail "$page is not installed"
[ "$failures" -eq 0 ] || exit 1

# Rendered as a user reads it, found through MANPATH; plain ASCII (C
# locale), no line filling that could split an option's name.
rendered="$(MANPATH="$prefix/share/man" MANWIDTH=200 LC_ALL=C MAN_KEEP_FORMATTING= \
    man --warnings vendrika-scan 2>"$prefix/warnings" | sed 's/.\x08//g')"
status=${PIPESTATUS[0]}
[ "$status" -eq 0 ] || fail "man vendrika-scan exits $status"
[ -s "$prefix/warnings" ] && fail "man warns: $(cat "$prefix/warnings")"
grep -q '^NAME' <<<"$rendered" || fail "the rendered page has no NAME section"
for section in SYNOPSIS DESCRIPTION OPTIONS 'PATH LISTS' OUTPUT 'JSON OUTPUT' 'EXIT STATUS' SIGNALS EXAMPLES; do
    grep -q "^$section\$" <<<"$rendered" || fail "no $section section"
done

# Every option of --help: the option lines are those that begin, after
# spaces, with '-'; each name there (-x, --long) must appear in the page.
help="$("$program" --help)" || fail "--help exits non-zero"
options="$(grep -E '^ +-' <<<"$help" | grep -oE '(^|[ ,])--?[A-Za-z][A-Za-z0-9-]*' | tr -d ' ,' | sort -u)"
[ -n "$options" ] || fail "no option found in --help"
count=0
for option in $options; do
    count=$((count + 1))
    grep -qE -- "(^|[^A-Za-z0-9-])$option([^A-Za-z0-9-]|\$)" <<<"$rendered" ||
        fail "option $option (in --help) is not in the manual page"
done
# And the JSON words, exit statuses and signals --help names.
for word in '"found"' '"removed"' '"not_removed"' '"would_remove"' '"version"' '"exit_code"' '_hex'; do
    bare="${word//\"/}"
    grep -qF -- "$bare" <<<"$rendered" || fail "$bare (in --help) is not in the manual page"
done
if [ "$failures" -gt 0 ]; then
    echo "$failures failures"
    exit 1
fi
echo "manual page: installed, renders, names all $count options of --help: $(tr '\n' ' ' <<<"$options")"
echo "1 passed, 0 failed"
