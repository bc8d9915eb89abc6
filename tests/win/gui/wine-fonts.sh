# Sourced after wine-env.sh: Hangul for the window tests. Wine's Tahoma and
# "MS Shell Dlg" have no Hangul; as on a Windows system that is not Korean,
# font linking (FontLink\SystemLink) supplies the glyphs, here from the Noto
# CJK face the machine has (fonts-noto-cjk).
qeld_wine_fonts() {
  [[ -f $WINEPREFIX/.qeld-fonts ]] && return 0
  local file face='Noto Sans CJK KR'
  file=$(fc-list -f '%{file}\n' "$face:style=Regular" | head -n1)
  [[ -n $file ]] || { echo "no $face font (fonts-noto-cjk)" >&2; return 1; }
  local key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink'
  local base
  for base in Tahoma 'MS Shell Dlg' 'MS Shell Dlg 2' 'Microsoft Sans Serif'; do
    wine reg add "$key" /v "$base" /t REG_MULTI_SZ /d "$(basename "$file"),$face" /f >/dev/null 2>&1
  done
  # One virtual desktop: Wine draws the frames and title bars itself, as
  # Windows does, where Xvfb has no window manager to do it.
  wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1280x1024 /f >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/.qeld-fonts"
}
