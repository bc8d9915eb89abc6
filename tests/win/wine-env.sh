# Sourced: sets up the Wine environment of the tests in prefix $1, making the
# prefix on first use (from the prefix $2 when given, which is much quicker
# than a new one).
#
# Wine maps COMn to /dev/ttyS(n-1) by itself, and /dev/ttyS0 may be the
# machine's own console: every COM port is pinned here to a link in
# $QELD_WINE_HOME/.qeld/dosdevices (where qeld-sim puts its link too), which a
# serial test points at its pseudo-terminal. A port whose link is missing
# fails to open, as a port with no device should.
export WINEPREFIX=$1
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer dialogs when the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="
export QELD_WINE_HOME=$WINEPREFIX/home
export QELD_WINE_PORTS=$QELD_WINE_HOME/.qeld/dosdevices

# Wine links the user's Documents, Desktop and the like to the home folder of
# whoever made the prefix; a test that writes there (log files may go to
# Documents\QELD) writes inside the prefix instead.
qeld_wine_own_folders() {
  local link
  for link in "$WINEPREFIX"/drive_c/users/*/{Desktop,Documents,Downloads,Music,Pictures,Videos}; do
    if [[ -L $link ]]; then rm -f "$link" && mkdir -p "$link"; fi
  done
}

qeld_wine_init() {
  local from=${1:-}
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    qeld_wine_own_folders
    [[ -f $WINEPREFIX/.qeld-ready ]] && exit 0
    if [[ -n $from && -f $from/system.reg && ! -e $WINEPREFIX ]]; then
      cp -a "$from" "$WINEPREFIX"
      rm -rf "$WINEPREFIX/home" "$WINEPREFIX/.qeld-ready"
    fi
    mkdir -p "$WINEPREFIX"
    [[ -f $WINEPREFIX/system.reg ]] || wineboot -i >/dev/null 2>&1 || true
    local reg=$WINEPREFIX/qeld.reg
    {
      printf 'REGEDIT4\r\n\r\n'
      # A crashing test ends instead of waiting in Wine's crash dialog.
      printf '[-HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug]\r\n\r\n'
      printf '[-HKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug]\r\n\r\n'
      printf '[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
      for n in 1 2 3 4 5 6 7 8 9 10; do
        printf '"COM%d"="%s"\r\n' "$n" "$QELD_WINE_PORTS/com$n"
      done
      printf '\r\n'
    } >"$reg"
    wine regedit /S "$reg" >/dev/null 2>&1
    wineserver -w
    qeld_wine_own_folders
    touch "$WINEPREFIX/.qeld-ready"
  ) 9>"$WINEPREFIX.lock"
  mkdir -p "$QELD_WINE_PORTS"
}
qeld_wine_init "${2:-}"
