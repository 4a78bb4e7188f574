#!/usr/bin/env bash
# The report of a fixed sixteen-row job, as a browser shows and prints it: Debian's
# chromium, headless, renders it to PNG and to PDF on Letter and on A4; the page must
# have drawn (far more than a blank page), hold the map's SVG with a shape for every
# segment, and print on one page. xmllint checks that the page and its SVG are
# well-formed XML, so no path in it can have broken the markup.
#   tests/report_browser_test.sh path/to/folvane-cli
# Exit status 77 (skipped) where chromium or xmllint is not installed.
set -euo pipefail
cli=$(realpath "$1")
started=$(date +%s)
for tool in chromium xmllint; do
  if ! command -v "$tool" >/dev/null; then
    echo "skipped: $tool is not installed (tools/deps.sh --test)"
    exit 77
  fi
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# Sixteen images, one block mode, ranges with spare blocks and fill between them;
# names with the characters a page must escape.
rows=()
for i in $(seq 1 16); do
  name="image $i <&'\">.bin"
  head -c $((i * 8000 + 7)) /dev/zero | tr '\0' "\\$(printf '%03o' $((i + 64)))" >"$name"
  start=$(((i - 1) * 0x20))
  rows+=(--row "$name:$(printf '%X' $start):$(printf '%X' $((start + 0x1C)))")
done
"$cli" new job.part --mode 0 --table t.bin --data d.bin "${rows[@]}" >/dev/null
SOURCE_DATE_EPOCH=1767225600 "$cli" merge job.part --report report.html >/dev/null 2>&1

xmllint --noout report.html
xmllint --xpath '//*[local-name()="svg"]' report.html >map.svg
xmllint --noout map.svg
# Checked against a chip whose blocks 0 to 0x1C are bad: row 1 runs out of good blocks,
# and the page, one bar for the run of bad blocks and a frame for row 1 more, stays
# well-formed.
seq 0 28 >bad.txt
status=0
"$cli" check job.part --bad-blocks bad.txt --report chip.html >/dev/null 2>&1 || status=$?
[ "$status" -eq 1 ] || { echo "FAIL: check with a chip that overflows row 1 exits $status"; exit 1; }
xmllint --noout chip.html
[ "$(grep -c '<rect class="bad"' chip.html)" -eq 1 ] || { echo "FAIL: not one bar for the bad blocks"; exit 1; }
grep -q '<title>Row 1 runs out of good blocks' chip.html || { echo "FAIL: row 1 is not framed"; exit 1; }
echo "xmllint: the page and its SVG are well-formed"

browser() {
  chromium --headless --no-sandbox --disable-gpu --no-first-run --disable-background-networking \
    --disable-component-update --disable-sync --user-data-dir="$work/profile-$RANDOM" "$@" 2>/dev/null
}
# The same page on A4: the only difference is the paper it asks for.
sed 's/@page { size: auto;/@page { size: A4;/' report.html >report-a4.html
printf '<!DOCTYPE html><html><body></body></html>' >blank.html

browser --window-size=1000,1200 --screenshot="$work/report.png" "file://$work/report.html" || true
browser --window-size=1000,1200 --screenshot="$work/blank.png" "file://$work/blank.html" || true
browser --print-to-pdf="$work/letter.pdf" --no-pdf-header-footer "file://$work/report.html" || true
browser --print-to-pdf="$work/a4.pdf" --no-pdf-header-footer "file://$work/report-a4.html" || true
browser --dump-dom "file://$work/report.html" >dom.html || true

fail() { echo "FAIL: $*"; exit 1; }
for f in report.png blank.png letter.pdf a4.pdf dom.html; do [ -s "$f" ] || fail "chromium wrote no $f"; done
png=$(stat -c %s report.png)
blank=$(stat -c %s blank.png)
echo "PNG: report $png bytes, blank page $blank bytes"
[ "$png" -gt $((blank * 5)) ] || fail "the page looks blank"
[ "$png" -lt $((8 * 1024 * 1024)) ] || fail "the picture is implausibly large"
# Width and height from the PNG header: the window asked for.
size=$(od -An -tu1 -j16 -N8 report.png | awk '{print $1*16777216+$2*65536+$3*256+$4 "x" $5*16777216+$6*65536+$7*256+$8}')
[ "$size" = "1000x1200" ] || fail "picture is $size"
# The browser parsed the SVG: 16 images, 16 spare runs, 15 fills between them.
shapes=$(grep -o '<rect class="[a-z]*"' dom.html | wc -l)
[ "$shapes" -eq 47 ] || fail "$shapes segments in the rendered SVG"
grep -q 'image 16 &lt;&amp;' dom.html || fail "row 16's path is not shown as text"
for pdf in letter.pdf a4.pdf; do
  pages=$(grep -acE '/Type */Page([^s]|$)' "$pdf" || true)
  bytes=$(stat -c %s "$pdf")
  echo "PDF $pdf: $pages page(s), $bytes bytes"
  [ "$pages" -eq 1 ] || fail "$pdf has $pages pages"
  [ "$bytes" -gt 10000 ] && [ "$bytes" -lt $((4 * 1024 * 1024)) ] || fail "$pdf is $bytes bytes"
done
echo "browser stage: $(($(date +%s) - started)) s"
