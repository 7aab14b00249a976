#!/usr/bin/env python3
"""Writes, into a built web folder, examples.js (the bundled examples as data)
and Morvex.html: the whole page in one file, its style, scripts, worker and
WebAssembly inside it, that works opened from disk with no server and asks no
host for anything. Its Content Security Policy allows exactly its own inline
style and script (by their SHA-256), a worker made from that script, and the
compilation of WebAssembly; nothing is fetched.

    web/bundle.py WEB_SOURCE_FOLDER EXAMPLES_FOLDER BUILD_FOLDER
"""

import base64
import hashlib
import json
import os
import sys

SCRIPTS = ["examples.js", "figures.js", "csv.js", "controls.js", "results.js", "page.js"]
POLICY = ("default-src 'none'; script-src {script} 'wasm-unsafe-eval'; worker-src blob:; "
          "style-src {style}; img-src blob: data:; object-src 'none'; base-uri 'none'; "
          "form-action 'none'")


def read(path, mode="r"):
    with open(path, mode, **({} if "b" in mode else {"encoding": "utf-8"})) as f:
        return f.read()


def js_string(text):
    # ASCII only, and no "</" that could end the script element early.
    return json.dumps(text).replace("</", "<\\/")


def digest(text):
    return "'sha256-" + base64.b64encode(hashlib.sha256(text.encode()).digest()).decode() + "'"


def replace_once(text, old, new):
    if text.count(old) != 1:
        sys.exit(f"bundle.py: expected one {old!r} in index.html")
    return text.replace(old, new)


def main():
    source, examples, build = sys.argv[1:4]
    entries = [{"name": name, "text": read(os.path.join(examples, name))}
               for name in sorted(os.listdir(examples))]
    # The table first: the example a meta-analysis starts from.
    entries.sort(key=lambda e: not e["name"].endswith(".csv"))
    with open(os.path.join(build, "examples.js"), "w", encoding="utf-8") as f:
        f.write("// The bundled examples, written by web/bundle.py.\n"
                f"self.MORVEX_EXAMPLES = {js_string(entries)};\n")
    embedded = ("self.MORVEX_EMBEDDED = {worker: " + js_string(read(os.path.join(build, "morvex-worker.js")))
                + ", wasm: " + js_string(base64.b64encode(read(os.path.join(build, "morvex.wasm"), "rb")).decode())
                + "};\n")
    script = embedded + "".join(read(os.path.join(build, name)) for name in SCRIPTS)
    if "</script" in script.lower():
        sys.exit("bundle.py: a script holds </script")
    style = read(os.path.join(source, "page.css"))
    html = read(os.path.join(source, "index.html"))
    start = html.index('content="default-src') + len('content="')
    html = html[:start] + POLICY.format(script=digest(script), style=digest(style)) + html[html.index('"', start):]
    html = replace_once(html, "<!-- Nothing but the page's own files: no other host is ever asked for anything. -->",
                        "<!-- One file: nothing is fetched, no host is ever asked for anything. -->")
    html = replace_once(html, '<link rel="stylesheet" href="page.css">', f"<style>{style}</style>")
    tags = "".join(f'<script src="{name}"></script>\n' for name in SCRIPTS)
    html = replace_once(html, tags, f"<script>{script}</script>\n")
    with open(os.path.join(build, "Morvex.html"), "w", encoding="utf-8") as f:
        f.write(html)


if __name__ == "__main__":
    main()
