#!/usr/bin/env bash
# Holds a manual page to the program it describes, so that the two cannot drift apart:
#   man_page.sh PAGE PROGRAM
# - the options under OPTIONS are exactly those of `PROGRAM --help` (when the program has one),
# - the exit statuses under EXIT STATUS are those the help lists (when it lists any),
# - the version in the page's title line is the program's,
# - every variable under ENVIRONMENT is one the program reads (its name is in the binary),
# - man formats the page without a warning.
set -euo pipefail
page=$1
program=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
name=$(basename "$program")
fail() { echo "FAIL: $(basename "$page"): $*"; exit 1; }

# The troff source as text: \- is a dash, font switches go.
text=$(sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' -e 's/\\&//g' "$page")

# The tag lines (the line after each .TP) of one section.
tags() {
    awk -v section="$1" '
        /^\.SH / { inside = ($0 == ".SH " section) ; next }
        inside && tagNext { print; tagNext = 0; next }
        inside && /^\.TP/ { tagNext = 1 }' <<<"$text"
}
options_in() { grep -oE '(^|[ "])--?[a-zA-Z0-9][a-zA-Z0-9-]*' | tr -d ' "' | sort -u; }

# The version: "quillmere-check 1.0.39" against .TH ... "Quillmere 1.0.39".
page_version=$(sed -nE 's/^\.TH .*"Quillmere ([^"]+)".*/\1/p' "$page")
[ -n "$page_version" ] || fail "no \"Quillmere VERSION\" in the .TH line"
if [ "$name" = quillmere ]; then
    # The desktop program has no --version: "quillmere VERSION" writes version.log instead.
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    (cd "$scratch" && "$program" VERSION)
    program_version=$(tr -d '\r\n' <"$scratch/version.log")
else
    program_version=$("$program" --version | awk '{ print $NF }')
fi
[ "$page_version" = "$program_version" ] ||
    fail "the page is of version $page_version, $name is $program_version"

if [ "$name" != quillmere ]; then
    help=$("$program" --help)
    # Option lines of the help start with the option, indented: "  -h, --help", "  --listen ...".
    help_options=$(grep -oE '^ +(-[a-zA-Z0-9], )?--[a-z0-9][a-z0-9-]*' <<<"$help" | options_in)
    page_options=$(tags OPTIONS | options_in)
    [ -n "$help_options" ] || fail "found no options in $name --help"
    if [ "$help_options" != "$page_options" ]; then
        echo "only in $name --help:"; comm -23 <(echo "$help_options") <(echo "$page_options")
        echo "only in the page:"; comm -13 <(echo "$help_options") <(echo "$page_options")
        fail "the options under OPTIONS are not those of $name --help"
    fi
    echo "options: $(echo $page_options)"

    help_statuses=$(sed -n '/^Exit status:/,$p' <<<"$help" | { grep -oE '(^|  )[0-9]+  ' || true; } |
                    tr -d ' ' | sort -n | uniq)
    if [ -n "$help_statuses" ]; then
        page_statuses=$(tags "EXIT STATUS" | grep -oE '^\.B [0-9]+$' | cut -d' ' -f2 | sort -n | uniq)
        [ "$help_statuses" = "$page_statuses" ] ||
            fail "exit statuses: $name --help lists $(echo $help_statuses), the page $(echo $page_statuses)"
        echo "exit statuses: $(echo $page_statuses)"
    fi
fi

for variable in $(tags ENVIRONMENT | { grep -oE '^\.B [A-Z_]+$' || true; } | cut -d' ' -f2); do
    grep -qaF "$variable" "$program" || fail "$name does not read $variable (not in the binary)"
    echo "environment: $variable"
done

warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man warns: $warnings"
echo "PASS: $(basename "$page") matches $name"
