#!/usr/bin/env bash
# Makes a tool's manual page from the tool itself with help2man: its --help
# text is the only description of its command line, so the page cannot say
# anything else.
#
#   manpage.sh PROGRAM VERSION SUMMARY OUTPUT [SEE-ALSO]...
#
# The first line of PROGRAM --version must be "NAME VERSION" (the version the
# build stamps everywhere), and its usage line must name NAME. Our help texts
# head their sections in capitals ("EXIT STATUS"); help2man takes a heading
# that ends in a colon, so the text it reads gets one, and its subsections
# become the page's sections. The date comes from SOURCE_DATE_EPOCH.
set -euo pipefail
program="$1" version="$2" summary="$3" output="$4"
shift 4
name="$(basename "$program")"

first="$("$program" --version | head -1)"
if [ "$first" != "$name $version" ]; then
    echo "manpage.sh: $program --version says \"$first\", expected \"$name $version\"" >&2
    exit 1
fi
help="$("$program" --help)"
if ! grep -q "^Usage: $name\b" <<<"$help"; then
    echo "manpage.sh: $program --help has no usage line for $name" >&2
    exit 1
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# The program as help2man runs it, under its own name.
cat >"$work/$name" <<WRAP
#!/bin/sh
if [ "\$1" = "--help" ]; then
    "$program" --help | sed -E 's/^([A-Z][A-Z0-9 ]*[A-Z0-9])\$/\1:/'
else
    exec "$program" "\$@"
fi
WRAP
chmod +x "$work/$name"
{
    echo "[SEE ALSO]"
    for page in "$@"; do
        echo ".PP"
        echo "$page"
    done
} >"$work/see-also.h2m"
help2man --no-info --section 1 --source "westnet $version" --name "$summary" \
    --include "$work/see-also.h2m" --output "$work/page.1" "$work/$name"
# help2man makes the headings subsections of DESCRIPTION: sections of their own.
sed -E 's/^\.SS "([A-Z][A-Z0-9 ]*):"$/.SH "\1"/' "$work/page.1" >"$output"
