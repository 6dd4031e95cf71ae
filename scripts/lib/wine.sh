# Wine helpers for the test and demo scripts. Source this file (bash).
#
#   cv_wine_pick_arch          choose the Windows build Wine can run here
#   cv_wine_prefix_create      make a throwaway prefix (C: only, no Z:)
#   cv_wine_add_drive L DIR    make DIR the fixed drive L: of the prefix
#   cv_wine_set_version X      win95 ... win10 for programs started later
#   cv_wine_xvfb_start         start an X server on a free display
#   cv_wine_install FILE...    copy programs into C:\cvtest
#   cv_wine_run PROG ARGS...   run a program by its Windows path
#   cv_wine_cleanup            end everything started here, remove the prefixes
#   cv_wine_trap               run cv_wine_cleanup on exit and on signals
#
# Nothing is left running or on disk after cv_wine_cleanup: every prefix
# made here is recorded, its wineserver ended, its socket folder removed.

CV_WINE_PREFIXES=()
CV_XVFB_PID=""
CV_XVFB_DISPLAY=""

cv_log() { printf '[wine] %s\n' "$*" >&2; }

# Chooses the architecture. A 32-bit Wine loader that can execute on this
# kernel means the product's own i686 build runs under a win32 prefix;
# otherwise (no IA32 emulation, or no wine32) the x86_64 build runs under a
# win64 prefix with the 64-bit loader. CV_WINE32=no asks for the
# 64-bit build even where 32-bit Wine works.
# Sets CV_WIN_ARCH, CV_WINEARCH, CV_WINE, CV_WINESERVER, CV_WIN_TOOLCHAIN.
cv_wine_pick_arch() {
    local root
    root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
    CV_WINESERVER=/usr/lib/wine/wineserver
    [ -x "$CV_WINESERVER" ] || CV_WINESERVER="$(command -v wineserver || true)"
    if [ "${CV_WINE32:-auto}" != no ] && [ -x /usr/lib/wine/wine ] &&
        /usr/lib/wine/wine --version >/dev/null 2>&1; then
        CV_WIN_ARCH=i686
        CV_WINEARCH=win32
        CV_WINE=/usr/lib/wine/wine
    elif [ -x /usr/lib/wine/wine64 ]; then
        CV_WIN_ARCH=x86_64
        CV_WINEARCH=win64
        CV_WINE=/usr/lib/wine/wine64
    else
        cv_log "no usable Wine loader found"
        return 1
    fi
    CV_WIN_TOOLCHAIN="$root/cmake/mingw-$CV_WIN_ARCH.cmake"
    export CV_WIN_ARCH CV_WINEARCH CV_WINE CV_WINESERVER CV_WIN_TOOLCHAIN
}

# cv_pe_machine FILE: prints i686 or x86_64 for a PE program, else nothing.
cv_pe_machine() {
    local off machine
    off=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
    [ -n "$off" ] || return 1
    machine=$(od -An -tx2 -j$((off + 4)) -N2 "$1" 2>/dev/null | tr -d ' ')
    case "$machine" in
        014c) echo i686 ;;
        8664) echo x86_64 ;;
        *) return 1 ;;
    esac
}

# cv_pe_matches_arch FILE: true when FILE is built for the chosen architecture.
cv_pe_matches_arch() {
    [ "$(cv_pe_machine "$1")" = "$CV_WIN_ARCH" ]
}

# The environment every Wine call of ours runs with.
cv_wine_env() {
    export WINEARCH="$CV_WINEARCH"
    export WINELOADER="$CV_WINE"
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
}

# Ends the wineserver of the current prefix and waits for it to go.
cv_wine_stop_server() {
    [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ] || return 0
    timeout 30 "${CV_WINESERVER:-wineserver}" -k >/dev/null 2>&1 || true
    timeout 30 "${CV_WINESERVER:-wineserver}" -w >/dev/null 2>&1 || true
}

# Makes a new prefix under /tmp and exports WINEPREFIX. Every symbolic link
# that Wine puts under drive_c (the user's folders linked into the Linux
# home) becomes an empty folder, and Z: (the whole Linux file system) is
# removed, so a scan of the fixed drives sees only the prefix itself.
cv_wine_prefix_create() {
    [ -n "${CV_WINE:-}" ] || cv_wine_pick_arch || return 1
    cv_wine_env
    WINEPREFIX="$(mktemp -d /tmp/cv-prefix.XXXXXX)" || return 1
    export WINEPREFIX
    CV_WINE_PREFIXES+=("$WINEPREFIX")
    local t0=$SECONDS
    if ! timeout -k 10 600 "$CV_WINE" wineboot -u >/dev/null 2>&1; then
        cv_log "wineboot failed in $WINEPREFIX"
        return 1
    fi
    cv_wine_stop_server
    local link
    while IFS= read -r -d '' link; do
        rm -f "$link" && mkdir -p "$link"
    done < <(find "$WINEPREFIX/drive_c" -type l -print0)
    rm -f "$WINEPREFIX/dosdevices/z:"
    # Without a window manager every hide or destroy of a top-level window
    # stalls; unmanaged windows avoid that.
    cv_wine_reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f || return 1
    mkdir -p "$WINEPREFIX/drive_c/cvtest"
    cv_log "prefix $WINEPREFIX ready ($CV_WINEARCH, $((SECONDS - t0)) s)"
}

# `wine reg` in the current prefix; settings apply to programs started after
# the wineserver has been ended, which this does.
cv_wine_reg() {
    timeout -k 10 120 "$CV_WINE" reg "$@" >/dev/null 2>&1
    local rc=$?
    cv_wine_stop_server
    return $rc
}

# cv_wine_add_drive LETTER DIR: DIR becomes fixed drive LETTER: of the prefix.
cv_wine_add_drive() {
    local letter dir
    letter="$(printf '%s' "$1" | tr 'A-Z' 'a-z')"
    dir="$(cd "$2" && pwd)" || return 1
    cv_wine_stop_server
    rm -f "$WINEPREFIX/dosdevices/$letter:"
    ln -s "$dir" "$WINEPREFIX/dosdevices/$letter:"
}

# cv_wine_set_version win95|win98|winme|nt40|win2k|winxp|win7|win10
cv_wine_set_version() {
    cv_wine_reg add 'HKCU\Software\Wine' /v Version /d "$1" /f
}

# Starts Xvfb on the first free display from :90 and exports DISPLAY.
cv_wine_xvfb_start() {
    local n
    for n in $(seq 90 140); do
        [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
        CV_XVFB_PID=$!
        local i
        for i in $(seq 1 100); do
            [ -e "/tmp/.X11-unix/X$n" ] && break
            kill -0 "$CV_XVFB_PID" 2>/dev/null || break
            sleep 0.1
        done
        if [ -e "/tmp/.X11-unix/X$n" ] && kill -0 "$CV_XVFB_PID" 2>/dev/null; then
            CV_XVFB_DISPLAY=":$n"
            export DISPLAY=":$n"
            cv_log "Xvfb on $DISPLAY (pid $CV_XVFB_PID)"
            return 0
        fi
        kill "$CV_XVFB_PID" 2>/dev/null
        wait "$CV_XVFB_PID" 2>/dev/null
        CV_XVFB_PID=""
    done
    cv_log "no free X display"
    return 1
}

# Copies programs into C:\cvtest of the current prefix; a program started by
# its Linux path cannot open itself once Z: is gone.
cv_wine_install() {
    cp -f "$@" "$WINEPREFIX/drive_c/cvtest/"
}

# cv_wine_run 'C:\cvtest\prog.exe' ARGS...: runs it in the current prefix,
# bounded by CV_WINE_TIMEOUT seconds (default 600); returns its exit code.
cv_wine_run() {
    timeout -k 10 "${CV_WINE_TIMEOUT:-600}" "$CV_WINE" "$@"
}

# Removes one prefix: ends its wineserver, removes its socket folder and its
# drive links (never what they point at), then the prefix.
cv_wine_remove_prefix() {
    local prefix="$1" sock=""
    [ -d "$prefix" ] || return 0
    [ -r "$prefix/wineserver" ] && sock="$(cat "$prefix/wineserver" 2>/dev/null)"
    WINEPREFIX="$prefix" timeout 30 "${CV_WINESERVER:-wineserver}" -k >/dev/null 2>&1 || true
    WINEPREFIX="$prefix" timeout 30 "${CV_WINESERVER:-wineserver}" -w >/dev/null 2>&1 || true
    # The socket folder name is recorded in the prefix; never remove
    # anything that is not a wine-* folder directly under /tmp.
    case "$sock" in
        wine-*) [ -d "/tmp/$sock" ] && rm -rf "/tmp/${sock:?}" ;;
    esac
    find "$prefix/dosdevices" -maxdepth 1 -type l -delete 2>/dev/null
    rm -rf "$prefix"
}

# Removes every prefix ROOT/*/prefix (one per scenario or mode), then
# everything cv_wine_cleanup removes, then ROOT.
cv_wine_cleanup_below() {
    local d
    for d in "$1"/*/prefix; do cv_wine_remove_prefix "$d"; done
    cv_wine_cleanup
    rm -rf "${1:?}"
}

# Ends every wineserver started here, the X server, and removes the
# prefixes with their socket folders.
cv_wine_cleanup() {
    local prefix
    for prefix in "${CV_WINE_PREFIXES[@]}"; do cv_wine_remove_prefix "$prefix"; done
    CV_WINE_PREFIXES=()
    if [ -n "$CV_XVFB_PID" ]; then
        kill "$CV_XVFB_PID" 2>/dev/null
        wait "$CV_XVFB_PID" 2>/dev/null
        CV_XVFB_PID=""
    fi
}

cv_wine_trap() {
    trap 'cv_wine_cleanup' EXIT
    trap 'cv_wine_cleanup; exit 130' INT TERM
}
