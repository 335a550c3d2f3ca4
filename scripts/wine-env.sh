# Sourced by the scripts that run Windows programs: a private 32-bit wine
# prefix under build/, no debug chatter, no display.
ROOT=${ROOT:-$(cd "$(dirname "$0")/.." && pwd)}
# VELDRAN_WINE_DIR holds the prefix and the port paths; a second checkout or
# a parallel run can use its own.
VELDRAN_WINE_DIR=${VELDRAN_WINE_DIR:-$ROOT/build}
export VELDRAN_WINE_DIR
export WINEPREFIX="$VELDRAN_WINE_DIR/wineprefix"
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY

# Creates the prefix once (about 5 s), then maps COM1 to COM255 onto paths
# under build/ so that no port a test names can reach a real one: wine gives
# the computer's own serial ports the numbers left free, which is COM256
# only.  The simulator points those paths at its pseudo-terminal.
wine_prefix_ready() {
    if [ ! -f "$WINEPREFIX/.veldran-ports" ]; then
        mkdir -p "$VELDRAN_WINE_DIR"
        wineboot -i > "$VELDRAN_WINE_DIR/wineboot.log" 2>&1 || { cat "$VELDRAN_WINE_DIR/wineboot.log" >&2; return 1; }
        # (the server that wineboot started serves the registry edits too)
        ports="$VELDRAN_WINE_DIR/ports.reg"
        { printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
          n=1
          while [ $n -le 255 ]; do
              printf '"COM%d"="%s/ports/com%d"\r\n' $n "$VELDRAN_WINE_DIR" $n
              n=$((n + 1))
          done; } > "$ports"
        wine reg import "$(winepath -w "$ports" 2>/dev/null)" >> "$VELDRAN_WINE_DIR/wineboot.log" 2>&1 < /dev/null ||
            { echo "wine-env: cannot map the COM ports (see $VELDRAN_WINE_DIR/wineboot.log)" >&2; return 1; }
        # The mapping takes effect when the server starts again.
        wineserver -k 2>/dev/null || true
        wineserver -w 2>/dev/null || true
        touch "$WINEPREFIX/.veldran-ports"
    fi
    mkdir -p "$VELDRAN_WINE_DIR/ports"
}

# A persistent server with its output redirected: a wine run whose output
# is captured through a pipe would otherwise wait for the server to exit.
# The first program of a server's life also starts wine's own services, which
# keep that program's standard streams for as long as the server runs; they
# are started here, on the log, so that no caller's pipe is held open by them
# (a test runner would wait for that pipe until its time-out).
wine_server_start() {
    # (the server detaches by itself once its socket is ready)
    wineserver -p > "$VELDRAN_WINE_DIR/wineserver.log" 2>&1 < /dev/null
    wine cmd /c exit >> "$VELDRAN_WINE_DIR/wineserver.log" 2>&1 < /dev/null
}

# Stops the server and every wine process of the prefix, and waits until
# they are gone, so that a following start finds no dying server.
wine_server_stop() {
    wineserver -k > /dev/null 2>&1 < /dev/null || true
    wineserver -w > /dev/null 2>&1 < /dev/null || true
}
