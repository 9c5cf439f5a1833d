#!/usr/bin/env bash
# Makes a tool's manual page with help2man from the tool's own --help and
# --version, so that the page and the tool cannot disagree:
#
#   cmake/manpage.sh --program PATH --version VERSION --summary TEXT \
#       --output FILE [--see-also REFERENCE]...
#
# The help texts head their sections with a line in capitals ("EXIT STATUS");
# help2man takes a section from a line "*EXIT STATUS*", so help2man is given
# this script in the tool's place, which answers with the tool's own texts and
# only those headings marked. It refuses a tool that reports another
# version, or whose usage line names another program, so that the build fails
# instead of making a wrong page. A REFERENCE ending in "(N)" is a manual
# page, any other a file.
set -euo pipefail

if [ -n "${WESTNET_MAN_PROGRAM:-}" ]; then
    # help2man asks: answer as the tool would, with the headings marked.
    "$WESTNET_MAN_PROGRAM" "$1" | sed -E 's/^([A-Z][A-Z0-9 /-]*[A-Z0-9])$/*\1*/'
    exit "${PIPESTATUS[0]}"
fi

program="" version="" summary="" output=""
see_also=()
while [ $# -gt 0 ]; do
    case "$1" in
    --program) program="$2" ;;
    --version) version="$2" ;;
    --summary) summary="$2" ;;
    --output) output="$2" ;;
    --see-also) see_also+=("$2") ;;
    *)
        echo "manpage.sh: unknown argument $1" >&2
        exit 2
        ;;
    esac
    shift 2
done
if [ -z "$program" ] || [ -z "$version" ] || [ -z "$summary" ] || [ -z "$output" ]; then
    echo "manpage.sh: give --program, --version, --summary and --output" >&2
    exit 2
fi

# help2man discards what its program says on stderr: the tool is checked
# here, where a refusal can say why.
name="$(basename "$program")"
said="$("$program" --version | sed -n 1p)"
if [ "$said" != "$name $version" ]; then
    echo "manpage.sh: $program --version says \"$said\", expected \"$name $version\"" >&2
    exit 1
fi
case "$("$program" --help | sed -n 1p)" in
"Usage: $name" | "Usage: $name "*) ;;
*)
    echo "manpage.sh: the usage line of $program --help does not name $name" >&2
    exit 1
    ;;
esac

include="$(mktemp)"
trap 'rm -f "$include"' EXIT
{
    echo "[SEE ALSO]"
    for i in "${!see_also[@]}"; do
        reference="${see_also[$i]}"
        comma=","
        [ "$i" -eq $((${#see_also[@]} - 1)) ] && comma=""
        if [[ "$reference" =~ ^(.+)\(([0-9a-z]+)\)$ ]]; then
            echo ".BR ${BASH_REMATCH[1]} (${BASH_REMATCH[2]})$comma"
        else
            echo "$reference$comma"
        fi
    done
} >"$include"

WESTNET_MAN_PROGRAM="$program" WESTNET_MAN_VERSION="$version" \
    "${HELP2MAN:-help2man}" --no-info --section 1 \
    --name "$summary" --source "westnet $version" --manual "User Commands" \
    --include "$include" --output "$output.tmp" "$0"
mv "$output.tmp" "$output"
