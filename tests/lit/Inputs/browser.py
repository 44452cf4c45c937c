#!/usr/bin/env python3
"""Opens a map page in headless Chromium and checks what its script drew
against the JSON map of the same link.

    browser.py PAGE JSON SYMBOL [--screenshot PNG]

The page is opened from file:// with "#search=SYMBOL", its DOM read once its
script has run, and then:
- the memory bars' blocks stand for every placed section once (a block of
  several small sections says how many it stands for);
- the table of memories shows each memory's used, filled and free figures;
- the search found SYMBOL, first, with its value.
With --screenshot, the page is also saved as a PNG. Exit status 1, with the
differences, when the page disagrees."""
import html.parser
import json
import os
import shutil
import subprocess
import sys
import tempfile


class Dom(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.ready = False
        self.ready_ms = 0
        self.blocks = []    # (kind, count)
        self.usage = {}     # memory name -> {field: text}
        self.symbols = []   # (name, value)
        self.row = None
        self.field = None

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "body" and a.get("data-ready") == "yes":
            self.ready = True
            self.ready_ms = int(a.get("data-ready-ms", "0"))
        if "block" in a.get("class", "").split():
            self.blocks.append((a.get("data-kind"), int(a.get("data-count", "0"))))
        if tag == "tr" and "data-memory" in a:
            self.row = self.usage.setdefault(a["data-memory"], {})
        if tag == "tr" and "symbol" in a.get("class", "").split():
            self.symbols.append((a.get("data-name"), int(a.get("data-value"))))
        if tag == "td" and self.row is not None and "data-field" in a:
            self.field = a["data-field"]

    def handle_endtag(self, tag):
        if tag == "td":
            self.field = None
        if tag == "tr":
            self.row = None

    def handle_data(self, data):
        if self.field:
            self.row[self.field] = self.row.get(self.field, "") + data


def chromium(args, profile):
    browser = shutil.which("chromium") or "/usr/bin/chromium"
    # The machine's network is closed: every background connection is
    # turned off, and the profile is new and empty.
    base = [browser, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--user-data-dir=" + profile, "--virtual-time-budget=10000"]
    return subprocess.run(base + args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=300,
                          check=True, text=True).stdout


def main():
    page, doc_file, symbol = sys.argv[1:4]
    screenshot = sys.argv[5] if len(sys.argv) > 5 and sys.argv[4] == "--screenshot" else None
    with open(doc_file, encoding="utf-8") as f:
        doc = json.load(f)
    url = "file://" + os.path.abspath(page)
    profile = tempfile.mkdtemp(prefix="tarsil-chromium-")
    try:
        dom = Dom()
        dom.feed(chromium(["--dump-dom", url + "#search=" + symbol], profile))
        if screenshot:
            chromium(["--window-size=1280,2000", "--hide-scrollbars", "--screenshot=" + os.path.abspath(screenshot),
                      url], profile)
    finally:
        shutil.rmtree(profile, ignore_errors=True)

    problems = []
    if not dom.ready:
        problems.append("the page's script did not finish")
    placed = sum(1 for s in doc["sections"] if s["memory"] is not None and s["locations"] > 0)
    drawn = sum(count for kind, count in dom.blocks if kind != "free")
    if drawn != placed:
        problems.append(f"the bars stand for {drawn} sections, the map has {placed}")
    for m in doc["memories"]:
        row = dom.usage.get(m["name"], {})
        for field in ("used", "filled", "free"):
            if row.get(field) != str(m[field]):
                problems.append(f"{m['name']}: {field} {row.get(field)!r} on the page, {m[field]} in the map")
    col = {name: i for i, name in enumerate(doc["symbolColumns"])}
    values = [s[col["value"]] for s in doc["symbols"] if s[col["name"]] == symbol]
    if not dom.symbols or dom.symbols[0][0] != symbol or dom.symbols[0][1] not in values:
        problems.append(f"searching {symbol} found {dom.symbols[:3]}, the map has {values}")
    for p in problems:
        print(p)
    print(f"the page was ready after {dom.ready_ms} ms")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
