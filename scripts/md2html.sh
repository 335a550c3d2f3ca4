#!/bin/sh
# Markdown to a stand-alone HTML page, for the copies of the documents in
# the release bundle: GitHub-flavoured Markdown (tables, autolinks) through
# cmark-gfm, the page's title from the first "# " heading.
#
#   sh scripts/md2html.sh FILE.md > FILE.html
set -eu
in=$1
command -v cmark-gfm > /dev/null 2>&1 ||
    { echo "md2html: cmark-gfm is missing (sh scripts/setup.sh installs it)" >&2; exit 1; }
title=$(sed -n 's/^# *//p' "$in" | head -n 1 | sed 's/&/\&amp;/g; s/</\&lt;/g; s/>/\&gt;/g')
[ -n "$title" ] || title=$(basename "$in" .md)
body=$(cmark-gfm --extension table --extension autolink --extension strikethrough --to html "$in")
cat <<HTML
<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>$title</title>
<style>
body { font-family: sans-serif; max-width: 52em; margin: 2em auto; padding: 0 1em; line-height: 1.45; }
code, pre { font-family: monospace; }
pre { background: #f4f4f4; padding: 0.6em; overflow-x: auto; }
table { border-collapse: collapse; }
th, td { border: 1px solid #bbb; padding: 0.2em 0.5em; text-align: left; vertical-align: top; }
</style>
</head>
<body>
$body
</body>
</html>
HTML
