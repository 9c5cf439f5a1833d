#!/usr/bin/env bash
# Checks cmake/manpage.sh, which makes the tools' manual pages with help2man
# from their --help: the name, synopsis, options and the sections the help
# text heads in capitals (EXIT STATUS) reach the page, text that roff would
# take as requests is escaped, and a tool whose --version or usage line does
# not match fails the build instead of making a wrong page.
#
#   tests/package/check-manpage.sh
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
gen="$here/../../cmake/manpage.sh"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

passed=0
failed=0
check() { # check NAME COMMAND...: passes when the command succeeds
    local name="$1"
    shift
    if "$@"; then
        passed=$((passed + 1))
        echo "ok   - $name"
    else
        failed=$((failed + 1))
        echo "FAIL - $name"
    fi
}
# has TEXT: the page holds this exact line sequence (lines joined by |).
has() { tr '\n' '|' <"$work/page.1" | grep -qF -- "$1" || {
    echo "  missing: $1"
    return 1
}; }

# fake-tool NAME VERSION-LINE HELP-FILE: a program that answers like a tool.
fake_tool() {
    cat >"$work/$1" <<TOOL
#!/bin/sh
case "\$1" in
--version) echo "$2" ;;
--help) cat "$3" ;;
*) exit 2 ;;
esac
TOOL
    chmod +x "$work/$1"
}
make_page() {
    SOURCE_DATE_EPOCH=946771200 "$gen" --program "$work/$1" --version 2.3.4 \
        --summary "a test tool" --see-also "other(1)" --see-also /usr/share/doc/x.md \
        --output "$work/page.1" 2>"$work/err"
}

cat >"$work/help.txt" <<'HELP'
Usage: demo [OPTIONS] FILE...

Does things with files.
.starts with a dot, back\slash.

Group one:
  --alpha N            first option,
                       continued
                         kept as laid out
                       and filled again
  --beta-long-name none|some|all
                       on the next line

EXIT STATUS
  0   fine
  2   bad option
  When both happen, 2 wins.
HELP
fake_tool demo "demo 2.3.4" "$work/help.txt"
check "page made" make_page demo
check "title with the version and the date of SOURCE_DATE_EPOCH" \
    has '.TH DEMO "1" "January 2000" "westnet 2.3.4" "User Commands"'
check "name and summary" has '.SH NAME|demo \- a test tool|'
check "synopsis from the usage line" has '.SH SYNOPSIS|.B demo|[\fI\,OPTIONS\/\fR] \fI\,FILE\/\fR...|'
check "description, request-like line escaped" \
    has '.SH DESCRIPTION|Does things with files.|\&.starts with a dot, back\eslash.|'
check "colon heading: subsection" has '.SS "Group one:"|'
check "option with its text, continued" has '.TP|\fB\-\-alpha\fR N|first option,|continued|'
check "option with its text on the next line" \
    has '.TP|\fB\-\-beta\-long\-name\fR none|some|all|on the next line|'
check "capital heading: section" has '.SH "EXIT STATUS"|.TP|0|fine|.TP|2|bad option|'
check "indented paragraph after items" has '.IP|When both happen, 2 wins.|'
check "see also: pages and files" has '.SH "SEE ALSO"|.BR other (1),|/usr/share/doc/x.md|'
if command -v groff >/dev/null; then
    check "groff reads it without warnings" \
        bash -c "[ -z \"\$(groff -ww -man -z '$work/page.1' 2>&1)\" ]"
else
    echo "skip - groff reads it without warnings (no groff here; check-deb.sh checks the real pages)"
fi

rm -f "$work/page.1"
fake_tool stale "stale 2.3.3" "$work/help.txt"
make_page stale
check "a tool of another version fails" test $? -ne 0
check "... saying why" grep -q 'expected "stale 2.3.4"' "$work/err"
check "... and leaving no page" test ! -e "$work/page.1"

sed 's/^Usage: demo/Usage: other/' "$work/help.txt" >"$work/other.txt"
fake_tool renamed "renamed 2.3.4" "$work/other.txt"
make_page renamed
check "a usage line for another program fails" test $? -ne 0

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
