# Sourced by the window test scripts: a private X display (Xvfb) and throwaway 64-bit Wine
# prefixes, and their removal. Everything started here is recorded and stopped by
# gui_cleanup, which the caller installs as an EXIT trap.
#
#   gui_start_xvfb            start Xvfb on a free display, export DISPLAY
#   gui_make_prefix DIR       create a clean prefix in DIR (no links into $HOME, no z:,
#                             unmanaged windows), export WINEPREFIX
#   gui_wine ARGS...          run a Windows program in the current prefix
#   gui_stop_prefix           end the prefix's wineserver
#   gui_cleanup               stop everything, remove prefixes and socket folders

GUI_WINE=${GUI_WINE:-/usr/lib/wine/wine64}
GUI_WINESERVER=${GUI_WINESERVER:-/usr/lib/wine/wineserver64}
[ -x "$GUI_WINE" ] || GUI_WINE=$(command -v wine64 || command -v wine)
[ -x "$GUI_WINESERVER" ] || GUI_WINESERVER=$(command -v wineserver)
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEARCH=win64

GUI_XVFB_PID=
GUI_PREFIXES=()

gui_log() { printf '[gui] %s\n' "$*" >&2; }

gui_start_xvfb() {
    local n
    for n in $(seq 91 140); do
        [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
        GUI_XVFB_PID=$!
        local i
        for i in $(seq 1 100); do
            [ -e "/tmp/.X11-unix/X$n" ] && break
            kill -0 "$GUI_XVFB_PID" 2>/dev/null || break
            sleep 0.05
        done
        if [ -e "/tmp/.X11-unix/X$n" ] && kill -0 "$GUI_XVFB_PID" 2>/dev/null; then
            export DISPLAY=":$n"
            gui_log "Xvfb on $DISPLAY (pid $GUI_XVFB_PID)"
            return 0
        fi
        GUI_XVFB_PID=
    done
    gui_log "no free X display"
    return 1
}

gui_make_prefix() {
    local dir=$1
    rm -rf "$dir"
    mkdir -p "$(dirname "$dir")"
    GUI_PREFIXES+=("$dir")
    export WINEPREFIX=$dir
    "$GUI_WINE" wineboot -u >/dev/null 2>&1
    # A new prefix links the user's folders into $HOME: replace every link by an empty folder,
    # and drop z: so nothing outside the prefix is reachable.
    local l
    find "$dir/drive_c" -type l 2>/dev/null | while read -r l; do
        rm -f "$l" && mkdir -p "$l"
    done
    rm -f "$dir/dosdevices/z:"
    # Without a window manager every hide of a top-level window stalls unless unmanaged.
    "$GUI_WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
    "$GUI_WINESERVER" -k 2>/dev/null
    "$GUI_WINESERVER" -w 2>/dev/null
    [ -d "$dir/drive_c/windows" ]
}

gui_wine() { "$GUI_WINE" "$@"; }

gui_stop_prefix() {
    [ -n "$WINEPREFIX" ] || return 0
    "$GUI_WINESERVER" -k 2>/dev/null
    "$GUI_WINESERVER" -w 2>/dev/null
    return 0
}

# The prefix's socket folder under /tmp: its name is kept in the prefix's "wineserver" file.
gui_socket_dir() {
    local dir=$1 name
    [ -f "$dir/wineserver" ] || return 0
    name=$(head -c 200 "$dir/wineserver" | tr -d '\n')
    case $name in
    /tmp/wine-?*) printf '%s\n' "$name" ;;
    wine-?*) printf '/tmp/%s\n' "$name" ;;
    esac
}

gui_cleanup() {
    local p sock
    for p in "${GUI_PREFIXES[@]}"; do
        [ -d "$p" ] || continue
        WINEPREFIX=$p "$GUI_WINESERVER" -k 2>/dev/null
        WINEPREFIX=$p "$GUI_WINESERVER" -w 2>/dev/null
        sock=$(gui_socket_dir "$p")
        rm -rf "$p"
        [ -n "$sock" ] && rm -rf "$sock"
    done
    GUI_PREFIXES=()
    if [ -n "$GUI_XVFB_PID" ]; then
        kill "$GUI_XVFB_PID" 2>/dev/null
        wait "$GUI_XVFB_PID" 2>/dev/null
        GUI_XVFB_PID=
    fi
}
