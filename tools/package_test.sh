#!/usr/bin/env bash
# Tests the Debian package as a user gets it: makes it from the Release build in
# build/, checks its files with their own validators and lintian, installs it into
# the system, runs both installed programs, and removes it again.
# Needs root or sudo (it installs the package) and tools/deps.sh --test.
set -euo pipefail
cd "$(dirname "$0")/.."
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
work=$(mktemp -d)
chmod 755 "$work"  # the programs run as an ordinary user below
installed=""
cleanup() {
  if [ -n "$installed" ]; then
    $sudo apt-get -o DPkg::Lock::Timeout=600 remove -y -qq folvane >/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "package test: $*" >&2; exit 1; }
step() { echo "-- $* (at ${SECONDS}s)"; }

step "cpack -G DEB"
rm -f build/folvane_*.deb
(cd build && cpack -G DEB >/dev/null)
debs=(build/folvane_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one build/folvane_*.deb"
deb=${debs[0]}

# The files are checked as the package holds them: a system that leaves out
# documentation on install (a container) still gets them checked.
root="$work/root"
dpkg-deb -x "$deb" "$root"
share="$root/usr/share"

step "desktop-file-validate, appstreamcli validate"
desktop-file-validate "$share/applications/folvane.desktop"
appstreamcli validate --no-net "$share"/metainfo/*.metainfo.xml >/dev/null

# The release in the metainfo and the changelog is the one the programs print.
version=$(dpkg-deb -f "$deb" Version)
grep -q "<release version=\"$version\"" "$share"/metainfo/*.metainfo.xml || fail "metainfo has no release $version"
zcat "$share/doc/folvane/changelog.gz" | head -1 | grep -q "^folvane ($version)" || fail "changelog does not start at $version"

step "manual pages"
for page in folvane folvane-cli; do
  file="$share/man/man1/$page.1.gz"
  [ -f "$file" ] || fail "no manual page $page.1"
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l "$file" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man $page.1 warns: $warnings"
done
# Every command the tool lists has its section in the page.
for command in merge show table new ecc; do
  LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$share/man/man1/folvane-cli.1.gz" 2>/dev/null | grep -q "^   $command\$" ||
    fail "folvane-cli.1 has no section for $command"
done

step "the .part file type"
# A job is told by its magic, and a browser's partial download keeps its own type.
mime="$work/mime"
mkdir -p "$mime/mime/packages"
cp /usr/share/mime/packages/freedesktop.org.xml "$share/mime/packages/folvane.xml" "$mime/mime/packages/"
update-mime-database "$mime/mime" 2>/dev/null
printf 'PART\0\0' > "$work/job.part"
printf 'PARTIAL DOWNLOAD' > "$work/download.part"
type_of() { XDG_DATA_HOME="$work/none" XDG_DATA_DIRS="$mime" gio info -a standard::content-type "$1" | sed -n 's/.*content-type: //p'; }
[ "$(type_of "$work/job.part")" = application/x-folvane-part ] || fail "a job is not application/x-folvane-part"
[ "$(type_of "$work/download.part")" = application/x-partial-download ] || fail "a partial download is taken for a job"

step "lintian"
# Errors and warnings fail the test.
lintian --fail-on error,warning "$deb" 2> >(grep -v "running with root privileges" >&2) || fail "lintian found the above"

step "apt-get install $deb"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq "./$deb" >/dev/null
installed=yes
[ -x /usr/bin/folvane ] && [ -x /usr/bin/folvane-cli ] || fail "the programs are not in /usr/bin"

step "folvane-cli --version, new, merge"
[ "$(/usr/bin/folvane-cli --version)" = "folvane-cli $version" ] || fail "folvane-cli --version is not $version"
[ "$(/usr/bin/folvane --version)" = "folvane $version" ] || fail "folvane --version is not $version"
user=nobody
home="$work/home"
mkdir -p "$home/cli" "$home/window"
head -c 10000 /dev/urandom > "$home/a.bin"  # two blocks of mode 0 (0x2100 bytes)
head -c 3000 /dev/urandom > "$home/b.bin"   # one block
printf 'PARTS' > "$home/refused.part"
$sudo chown -R "$user" "$home"
as_user() { $sudo runuser -u "$user" -- env HOME="$home" "$@"; }
for out in cli window; do
  as_user /usr/bin/folvane-cli new "$home/$out.part" --mode 0 --table "$home/$out/Partition_Table.bin" \
    --data "$home/$out/Data_Merge.bin" --row "$home/a.bin:0:3" --row "$home/b.bin:4:5" 2>/dev/null
done
as_user /usr/bin/folvane-cli merge "$home/cli.part" 2>/dev/null || fail "folvane-cli merge failed ($?)"
as_user /usr/bin/folvane-cli table "$home/cli/Partition_Table.bin" >/dev/null || fail "the merged table is refused"
cmp -s -n 10000 "$home/a.bin" "$home/cli/Data_Merge.bin" || fail "the data image does not start with the first image"

# /usr/bin cannot be written by the user: the default paths are in the home folder.
as_user /usr/bin/folvane-cli new "$home/defaults.part" --mode 2 2>/dev/null
as_user /usr/bin/folvane-cli show "$home/defaults.part" | grep -q "^Data: *$home/Data_Merge.bin\$" ||
  fail "the default Data path is not in the home folder"

step "folvane JOB.part under Xvfb"
# The job names its own output files; pressing Enter (Merge has the focus) writes
# them only if the job was loaded at start-up. A file that is not a job is refused
# with IMPORT's message box, whose caption is the program's name.
as_user xvfb-run -a -s '-screen 0 1280x1024x24' bash -c '
  set -u
  home=$1 title="^Folvane V$2\$"
  start() {  # folvane JOB, until a window titled like $2 shows; it gets the focus
    NO_AT_BRIDGE=1 /usr/bin/folvane "$1" 2>/dev/null & pid=$!
    window=$(timeout 30 xdotool search --sync --onlyvisible --name "$2" | head -1)
    [ -n "$window" ] || { echo "no window $2 for folvane $1" >&2; kill $pid; exit 1; }
    xdotool windowfocus --sync "$window"
  }
  finish() {  # Esc in the main window ends the program
    xdotool windowfocus --sync "$(xdotool search --onlyvisible --name "$title" | head -1)"
    xdotool key Escape
    for _ in $(seq 100); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
    if kill -0 $pid 2>/dev/null; then echo "folvane did not end on Esc" >&2; kill $pid; exit 1; fi
    wait $pid
  }
  start "$home/window.part" "$title"
  xdotool key Return
  for _ in $(seq 100); do
    [ "$(stat -c %s "$home/window/Data_Merge.bin" 2>/dev/null)" = "$(stat -c %s "$home/cli/Data_Merge.bin")" ] && break
    sleep 0.1
  done
  finish
  start "$home/refused.part" "^folvane\$"
  xdotool key Return
  finish
' _ "$home" "$(tools/version.sh short)" || fail "the installed window failed"
for f in Partition_Table.bin Data_Merge.bin; do
  cmp -s "$home/cli/$f" "$home/window/$f" || fail "the window's $f differs from folvane-cli's: was the job loaded?"
done

step "bash completion"
completion=/usr/share/bash-completion/completions/folvane-cli
got=$(bash -c 'source /usr/share/bash-completion/bash_completion; source "$1"
  complete_line() {
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}; COMPREPLY=()
    _folvane_cli folvane-cli "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}"; echo "${COMPREPLY[*]}"
  }
  complete_line folvane-cli new x.part --mode 1
  complete_line folvane-cli m' _ "$completion")
[ "$got" = $'1 10 11 12 13 14 15\nmerge' ] || fail "bash completion gives: $got"

step "apt-get remove folvane"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 remove -y -qq folvane >/dev/null
installed=""
[ ! -e /usr/bin/folvane ] && [ ! -e /usr/bin/folvane-cli ] || fail "the programs are still installed"
echo "package test passed"
