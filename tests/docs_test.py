#!/usr/bin/env python3
"""Holds the documents to the program.

  docs_test.py options MORVEX ROOT   --help, the man page's synopsis and option
                                     list, and the guide's option tables name the
                                     same options
  docs_test.py commands MORVEX ROOT  every command of README.md and doc/guide.md
                                     that starts with build/estimation/Morvex (in
                                     a fenced sh block) runs and ends with status
                                     0, or with the status its "# exit status N"
                                     comment names

The commands run in a fresh folder, so pictures and tables they write land
there; paths into the repository (examples/, tests/, ../shared/) are taken
from ROOT.
"""
import os
import re
import subprocess
import sys
import tempfile

OPTION = re.compile(r"--[a-z][a-z-]*")
DOCS_WITH_COMMANDS = ("README.md", "doc/guide.md")
PROGRAM = "build/estimation/Morvex"


def help_options(morvex):
    """The options of --help's synopsis, and those its Options list begins a line with."""
    text = subprocess.run([morvex, "--help"], capture_output=True, text=True, check=True).stdout
    synopsis = set(OPTION.findall(text[: text.index("\n\n")]))
    listed = set()
    for line in text[text.index("\nOptions:\n"):].split("\n"):
        if re.match(r"  -", line):
            listed |= set(OPTION.findall(re.split(r"\s{2,}", line.strip())[0]))
    return synopsis, listed


def man_options(root):
    """The options of the man page's synopsis, and of its OPTIONS section's tagged paragraphs."""
    with open(os.path.join(root, "doc", "Morvex.1"), encoding="utf-8") as f:
        lines = [line.replace("\\-", "-") for line in f.read().split("\n")]
    sections, current = {}, None
    for line in lines:
        if line.startswith(".SH "):
            current = line[4:].strip()
        elif current:
            sections.setdefault(current, []).append(line)
    synopsis = set(OPTION.findall("\n".join(sections["SYNOPSIS"])))
    tagged = set()
    body = sections["OPTIONS"]
    for k, line in enumerate(body[:-1]):
        if line.startswith(".TP"):
            tagged |= set(OPTION.findall(body[k + 1]))
    return synopsis, tagged


def guide_options(root):
    """The options named in the first cell of the rows of the guide's Options section."""
    with open(os.path.join(root, "doc", "guide.md"), encoding="utf-8") as f:
        text = f.read()
    start = text.index("\n## Options\n")
    end = text.index("\n## ", start + 1)
    found = set()
    for line in text[start:end].split("\n"):
        if line.startswith("| `-"):
            found |= set(OPTION.findall(line.split("|")[1]))
    return found


def check_options(morvex, root):
    expected, listed = help_options(morvex)
    synopsis, tagged = man_options(root)
    faults = []
    for name, found in (("--help's Options", listed), ("the man page's synopsis", synopsis),
                        ("the man page's OPTIONS", tagged),
                        ("doc/guide.md's Options", guide_options(root))):
        if found != expected:
            faults.append(f"{name}: missing {sorted(expected - found)}, "
                          f"not in --help's synopsis {sorted(found - expected)}")
    return faults


def documented_commands(root):
    """(file, line number, command, expected status) of every program command in a fenced sh block."""
    for name in DOCS_WITH_COMMANDS:
        with open(os.path.join(root, name), encoding="utf-8") as f:
            lines = f.read().split("\n")
        fenced = False
        for number, line in enumerate(lines, 1):
            if line.startswith("```"):
                fenced = line == "```sh" if not fenced else False
                continue
            if fenced and line.startswith(PROGRAM + " "):
                status = re.search(r"#\s*exit status (\d+)\s*$", line)
                yield name, number, line, int(status.group(1)) if status else 0


def localise(command, morvex, root):
    """The command with the program and the repository's paths made absolute."""
    command = morvex + command[len(PROGRAM):]
    shared = os.path.normpath(os.path.join(root, "..", "shared")) + "/"
    command = re.sub(r"(?<=[\s=])\.\./shared/", shared, command)
    return re.sub(r"(?<=[\s=])(examples|tests)/", lambda m: os.path.join(root, m.group(1)) + "/",
                  command)


def check_commands(morvex, root):
    faults = []
    count = 0
    with tempfile.TemporaryDirectory() as work:
        os.mkdir(os.path.join(work, "doc"))
        for name, number, command, expected in documented_commands(root):
            count += 1
            run = subprocess.run(localise(command, morvex, root), shell=True, cwd=work,
                                 capture_output=True, text=True, timeout=120)
            if run.returncode != expected:
                faults.append(f"{name}:{number}: status {run.returncode}, expected {expected}: "
                              f"{command}\n{run.stderr[-2000:]}")
    if count == 0:
        faults.append("no command found in " + ", ".join(DOCS_WITH_COMMANDS))
    print(f"{count} documented commands run")
    return faults


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in ("options", "commands"):
        sys.exit(__doc__)
    what, morvex, root = sys.argv[1], os.path.abspath(sys.argv[2]), os.path.abspath(sys.argv[3])
    faults = check_options(morvex, root) if what == "options" else check_commands(morvex, root)
    for fault in faults:
        print(fault)
    sys.exit(1 if faults else 0)


if __name__ == "__main__":
    main()
