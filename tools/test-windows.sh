#!/usr/bin/env bash
# The Windows stage of CI: cross-compiles the windows preset with MinGW-w64 against
# the cached static wxMSW, then under Wine (in a fresh prefix inside build-windows/):
#   1. the core and command-line tests (ctest, every test under wine);
#   2. folvane-cli.exe merges the same jobs as the Linux build, byte for byte;
#   3. the window's own tests inside folvane's process: rows entered and merged;
#   4. folvane.exe starts and shows its window "Folvane VMAJOR.MINOR";
#   5. the zip and the installer are built; the installer installs, registers .part
#      and uninstalls silently.
# Every Wine call is bounded by `timeout`; the first failing step is named at the end.
#
#   tools/test-windows.sh            everything
#   SKIP_WINDOWS_DEPS=1 ...          do not check the Debian packages
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${JOBS:-$(nproc)}
start=$SECONDS
step=""
begin() {
  step="$1"
  echo "== windows: $step ($((SECONDS - start)) s)" >&2
}
# Whatever ends the script: the step that failed is named, and the Wine server of
# this run's prefix (if it got that far) is stopped with everything it runs.
finish() {
  local status=$?
  if [ -n "${WINEPREFIX:-}" ]; then wineserver -k 2>/dev/null || true; fi
  if [ "$status" -ne 0 ]; then
    echo "windows stage FAILED in step: ${step} (status $status, after $((SECONDS - start)) s)" >&2
  fi
}
trap finish EXIT

begin "packages"
[ -n "${SKIP_WINDOWS_DEPS:-}" ] || tools/deps.sh --windows

begin "wxWidgets for Windows (cached)"
FOLVANE_WX_MSW=$(tools/build-wx-msw.sh)
export FOLVANE_WX_MSW

begin "cross build"
cmake --preset windows >/dev/null
nice cmake --build --preset windows -j"$jobs"

begin "Linux build of folvane-cli (for the byte comparison)"
cmake --preset default >/dev/null
nice cmake --build --preset default -j"$jobs" --target folvane-cli

# A fresh Wine prefix for every run: nothing left over from an earlier one counts.
# The prefix answers as a Chinese Windows (ANSI code page 936) and finds a CJK font
# for the dialog font SimSun and the message boxes.
begin "wine prefix"
# winedbg off: a crashing test program ends at once instead of waiting in the debugger.
export WINEPREFIX="$root/build-windows/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml=;winedbg.exe=d"
# Only Wine sees the Chinese locale, built into the build folder from the packaged
# locale sources: Wine takes its ANSI code page (936) from it, and needs a UTF-8
# locale to give files non-ASCII names.
locales="$root/build-windows/locale"
[ -d "$locales/zh_CN.UTF-8" ] || { mkdir -p "$locales" && localedef -i zh_CN -f UTF-8 "$locales/zh_CN.UTF-8"; }
wine_timeout() { LOCPATH="$locales" LC_ALL=zh_CN.UTF-8 timeout --kill-after=10 "$@"; }
wineserver -k 2>/dev/null || true
rm -rf "$WINEPREFIX"
wine_timeout 180 wineboot -i >/dev/null 2>&1
{
  printf '\xff\xfe'
  iconv -f UTF-8 -t UTF-16LE <<'EOF'
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]
"SimSun"="WenQuanYi Micro Hei"
"NSimSun"="WenQuanYi Micro Hei"
"宋体"="WenQuanYi Micro Hei"
"MS Shell Dlg"="WenQuanYi Micro Hei"
"MS Shell Dlg 2"="WenQuanYi Micro Hei"
"Tahoma"="WenQuanYi Micro Hei"
EOF
} >"$root/build-windows/fonts.reg"
wine_timeout 60 wine regedit /S 'Z:'"${root//\//\\}"'\build-windows\fonts.reg' >/dev/null 2>&1
wine_timeout 60 wineserver -w
# One server for every test below, instead of one started by each program, and
# Wine's own services started now, with their output going nowhere: started by a test
# program they would inherit its output pipe and keep ctest waiting on it.
wineserver -p 600
wine_timeout 120 wine cmd /c exit 0 </dev/null >/dev/null 2>&1

stop_wine() { wineserver -k 2>/dev/null || true; }

begin "core and command-line tests under wine"
# Now and then Wine starts a test program that fails before its first line, or
# leaves one that printed "PASSED" running until it is killed (seen with builds from
# before and after the same change, on tests that touch nothing of the kind). Every
# test takes seconds under Wine: a test that fails or hangs runs once more, and fails
# the stage only if it fails again.
wine_timeout 1200 xvfb-run -a ctest --preset windows -L unit -j"$jobs" --timeout 120 --repeat until-pass:2

begin "folvane-cli.exe merges byte for byte as the Linux build"
work="$root/build-windows/compare"
rm -rf "$work"
mkdir -p "$work"
linux="$root/build/cli/folvane-cli"
windows="$root/build-windows/cli/folvane-cli.exe"
(
  cd "$work"
  head -c 300000 /dev/urandom >boot.bin
  head -c 1000000 /dev/urandom >kernel.bin
  head -c 3 /dev/urandom >cfg.bin
  head -c 2162688 /dev/urandom >whole.bin  # exactly 16 blocks of the default mode
  # Jobs in the smallest, the default and the largest block modes, with gaps, a
  # rejected row and images of whole blocks and of partial last blocks.
  "$linux" new small.part --mode 0 --row boot.bin:0:40 --row kernel.bin:41:100 --row cfg.bin:101:101
  "$linux" new default.part --mode 2 --row cfg.bin:0:0 --row boot.bin:2:5 --row whole.bin:8:20 --row kernel.bin:30:40
  "$linux" new large.part --mode 15 --row kernel.bin:3:3 --row cfg.bin:3:4 --row boot.bin:7:9
  for job in small default large; do
    status=0
    "$linux" merge $job.part --table $job-linux.tbl --data $job-linux.bin 2>/dev/null || status=$?
    wstatus=0
    wine_timeout 120 wine "$windows" merge $job.part --table $job-win.tbl --data $job-win.bin 2>/dev/null || wstatus=$?
    if [ "$status" != "$wstatus" ]; then
      echo "job $job: exit status $status on Linux, $wstatus on Windows" >&2
      exit 1
    fi
    cmp $job-linux.tbl $job-win.tbl
    cmp $job-linux.bin $job-win.bin
    echo "job $job: table and data identical ($(stat -c %s $job-linux.bin) bytes, exit status $status)" >&2
  done
)

# The window's own tests, inside folvane's process: the template, the default paths,
# the block mode, the real window menu's About entry (WM_SYSCOMMAND masked), the about
# box, icons and font, the docked pane, rows entered through browse, the block edits
# and the check boxes, IMPORT and EXPORT, a job merged in the window against the
# command line's merge, and ending the window. Under Wine the test helpers click and
# type by sending the controls' own events (simulated input does not reach Wine's
# windows without a window manager); the tests that need the real input path or
# /dev/full skip themselves under Wine (SKIP_UNDER_WINE in the test) and run in the
# Linux build.
begin "window tests inside the process"
wine_timeout 900 xvfb-run -a -s '-screen 0 1600x1200x24' \
  wine "$root/build-windows/tests/gui_tests.exe" --gtest_brief=1

begin "folvane.exe shows its window"
(
  display_log="$root/build-windows/window.txt"
  wine_timeout 120 xvfb-run -a -s '-screen 0 1280x1024x24' bash -c '
    wine "$1" &
    for i in $(seq 60); do
      if xwininfo -root -tree 2>/dev/null | grep -q "\"Folvane V$4\""; then
        xwininfo -root -tree | grep "Folvane V$4" >"$2"
        sleep 2  # let it paint, then keep a picture of it
        xwd -root -silent >"$3"
        exit 0
      fi
      sleep 1
    done
    exit 1' _ "$root/build-windows/ui/folvane.exe" "$display_log" "$root/build-windows/window.xwd" "$(tools/version.sh short)"
  cat "$display_log" >&2
)
stop_wine
wineserver -p 600
wine_timeout 120 wine cmd /c exit 0 </dev/null >/dev/null 2>&1

begin "packages: zip and installer"
(cd build-windows && nice cpack -G "ZIP;NSIS" >/dev/null)
package=folvane-$(tools/version.sh)-win64
listing=$(unzip -l "build-windows/$package.zip")
grep -q "$package/folvane.exe" <<<"$listing"
grep -q "$package/folvane-cli.exe" <<<"$listing"
# Each program once, beside the README: no second copy in a bin/ folder.
[ "$(grep -c '\.exe$' <<<"$listing")" = 2 ]

begin "installer installs, registers .part, uninstalls"
programs="$WINEPREFIX/drive_c/Program Files/Folvane"
# The server is persistent here, so no `wineserver -w`: wine itself waits for each.
wine_timeout 180 wine "$root/build-windows/$package.exe" /S
test -x "$programs/folvane.exe"
test -x "$programs/folvane-cli.exe"
association=$(wine_timeout 60 wine reg query 'HKCR\Folvane.PartFile\shell\open\command')
grep -q 'folvane.exe' <<<"$association"
ls "$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Folvane"*/Folvane.lnk >/dev/null
# The uninstaller copies itself away and finishes in the background (Wine quotes the
# "_?=" argument that would keep it in place): wait up to a minute for it.
wine_timeout 180 wine "$programs/Uninstall.exe" /S
for _ in $(seq 60); do
  [ -e "$programs/folvane.exe" ] || break
  sleep 1
done
test ! -e "$programs/folvane.exe"
wine_timeout 60 wineserver -k  # the uninstaller's background copy included
wineserver -p 600
if wine_timeout 60 wine reg query 'HKCR\Folvane.PartFile' >/dev/null 2>&1; then
  echo "the .part association outlived the uninstaller" >&2
  false
fi

echo "== windows: all passed in $((SECONDS - start)) s" >&2
