#!/usr/bin/env python3
"""Checks the report `veldran-host report` wrote as a reader of it would:
the page as a browser renders it, against the JSON beside it.

    check_report.py CHROMIUM REPORT.html REPORT.json OUT.pdf

The page is rendered with headless Chromium (--dump-dom) and its tables,
read with html.parser, must hold what the JSON says: each table's rows are
the JSON array's items, each cell the member its column names (data-key),
an address as the wire writes it (05h), a setting as on or off.  The page
must be self-contained (no script, nothing fetched) and carry print styles,
and --print-to-pdf must give a PDF of one page or more.  Exits 1 with the
reason.  Standard library only.
"""
import html.parser
import json
import re
import subprocess
import sys

# Each table of the page and the JSON array it shows.
TABLES = {
    "line": ["as_built", "line"],
    "differences": ["differences"],
    "points": ["points"],
    "open": ["open"],
    "design-modules": ["design", "modules"],
    "design-points": ["design", "points"],
}
FACTS = ["date", "engineer", "driver.file", "driver.version", "driver.sha256", "options", "design.file",
         "design.sha256", "as_built.file", "as_built.date", "as_built.port"]
CHROMIUM = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-extensions"]


def fail(msg):
    print("check_report: " + msg)
    sys.exit(1)


class Tables(html.parser.HTMLParser):
    """The page's tables by id: the data-key of each column and the text of
    each row's cells; the facts table's rows by their data-key."""

    def __init__(self):
        super().__init__()
        self.tables, self.facts, self.tags = {}, {}, set()
        self.table = self.row = self.cell = None
        self.fact = None

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        self.tags.add(tag)
        if tag == "table":
            self.table = self.tables.setdefault(a.get("id", ""), {"keys": [], "rows": []})
        elif tag == "tr" and self.table is not None:
            self.fact = a.get("data-key")
            self.row = None if a.get("class") == "none" else []
        elif tag == "th" and self.table is not None and "data-key" in a:
            self.table["keys"].append(a["data-key"])
        elif tag == "td" and self.row is not None:
            self.cell = ""

    def handle_endtag(self, tag):
        if tag == "td" and self.cell is not None:
            self.row.append(self.cell)
            if self.fact:
                self.facts[self.fact] = self.cell
            self.cell = None
        elif tag == "tr" and self.table is not None:
            if self.row and not self.fact:
                self.table["rows"].append(self.row)
            self.row = None
        elif tag == "table":
            self.table = None

    def handle_data(self, data):
        if self.cell is not None:
            self.cell += data


def shown(key, v):
    """A JSON value as the page's cell shows it."""
    if v is None:
        return ""
    if isinstance(v, bool):
        return "on" if v else "off"
    if isinstance(v, (int, float)):
        return "%02Xh" % int(v) if key == "address" else "%g" % v
    return str(v)


def member(data, path):
    for p in path:
        data = data.get(p) if isinstance(data, dict) else None
    return data


def check_tables(page, data):
    for tid, path in TABLES.items():
        t = page.tables.get(tid)
        if t is None:
            fail("the page has no table %s" % tid)
        items = member(data, path) or []
        if len(t["rows"]) != len(items):
            fail("table %s: %d rows, the JSON has %d" % (tid, len(t["rows"]), len(items)))
        for i, (row, item) in enumerate(zip(t["rows"], items)):
            want = [shown(k, item.get(k)) for k in t["keys"]]
            if [c.strip() for c in row] != want:
                fail("table %s row %d: %r, the JSON says %r" % (tid, i + 1, row, want))
    for key in FACTS:
        want = shown(key, member(data, key.split(".")))
        if page.facts.get(key, None) != want:
            fail("%s: the page shows %r, the JSON says %r" % (key, page.facts.get(key), want))


def check_page(raw):
    if "@media print" not in raw or "break-inside: avoid" not in raw:
        fail("the page has no print styles")
    if re.search(r"<script|<link|\bsrc=|https?://", raw):
        fail("the page is not self-contained (a script, a link or an address)")


def check_pdf(path):
    with open(path, "rb") as f:
        pdf = f.read()
    if not pdf.startswith(b"%PDF"):
        fail("%s is no PDF" % path)
    counts = [int(n) for n in re.findall(rb"/Type\s*/Pages\b[^>]*?/Count\s+(\d+)", pdf)]
    counts += [int(n) for n in re.findall(rb"/Count\s+(\d+)[^>]*?/Type\s*/Pages\b", pdf)]
    pages = len(re.findall(rb"/Type\s*/Page\b", pdf))
    if max(counts + [pages]) < 1:
        fail("%s has no pages" % path)
    return max(counts + [pages])


def main():
    chromium, page_path, json_path, pdf_path = sys.argv[1:5]
    with open(json_path) as f:
        data = json.load(f)
    with open(page_path) as f:
        check_page(f.read())
    url = "file://" + page_path
    dom = subprocess.run([chromium] + CHROMIUM + ["--dump-dom", url], capture_output=True, text=True, timeout=120)
    if dom.returncode != 0 or "<table" not in dom.stdout:
        fail("chromium --dump-dom: status %d\n%s" % (dom.returncode, dom.stderr[-2000:]))
    page = Tables()
    page.feed(dom.stdout)
    check_tables(page, data)
    pdf = subprocess.run([chromium] + CHROMIUM + ["--print-to-pdf=" + pdf_path, "--no-pdf-header-footer", url],
                         capture_output=True, text=True, timeout=120)
    if pdf.returncode != 0:
        fail("chromium --print-to-pdf: status %d\n%s" % (pdf.returncode, pdf.stderr[-2000:]))
    print("check_report: %d tables and %d facts as the JSON says; %d pages printed" %
          (len(TABLES), len(FACTS), check_pdf(pdf_path)))


if __name__ == "__main__":
    main()
