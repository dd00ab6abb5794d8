#!/usr/bin/env python3
"""Refuses a source file over 700 non-blank lines, or a function over 120.

Counts the C++ sources of the program (tests/ and bench/ aside). A function is
a body whose opening brace follows a parameter list at namespace level (a class
body's inline members count too); its length is its non-blank lines, braces
included. Usage: check_sizes.py [source root]
"""
import os
import re
import sys

MAX_FILE_LINES = 700
MAX_FUNCTION_LINES = 120
FOLDERS = ["common", "device", "engine", "fat", "ntfs", "carving", "exfat", "ext", "deepscan",
           "cli", "ui"]
# Known and being taken apart (path, or path:function), each with its reason.
KNOWN = set()


def clean(line):
    """The code of a line: strings, characters and line comments emptied."""
    line = re.sub(r'"(\\.|[^"\\])*"', '""', line)
    line = re.sub(r"'(\\.|[^'\\])*'", "''", line)
    return re.sub(r"//.*", "", line)


def functions(lines):
    """(name, first line, non-blank lines) of each outermost function body."""
    code, in_comment = [], False
    for raw in lines:
        line = clean(raw)
        if in_comment:
            if "*/" not in line:
                code.append("")
                continue
            line, in_comment = line.split("*/", 1)[1], False
        line = re.sub(r"/\*.*?\*/", "", line)
        if "/*" in line:
            line, in_comment = line.split("/*", 1)[0], True
        code.append(line)
    found, stack, start, name = [], [], 0, ""
    for n, line in enumerate(code):
        for pos, ch in enumerate(line):
            if ch == "{":
                kind = "other"
                if "fn" not in stack:
                    before = " ".join(code[max(0, n - 8):n]) + " " + line[:pos]
                    head = re.split(r"[;{}]", before)[-1]
                    if re.search(r"\b(namespace|class|struct|union|enum)\b[^()]*$", head) or \
                            re.search(r'extern\s*""', head):
                        kind = "scope"
                    elif "(" in head and not re.search(r"=\s*$", head.strip()):
                        kind, start = "fn", n
                        m = re.search(r"([~\w:]+)\s*\([^()]*(\([^()]*\)[^()]*)*\)[^()]*$", head)
                        name = m.group(1) if m else head.strip()[:40]
                stack.append(kind)
            elif ch == "}" and stack:
                if stack.pop() == "fn":
                    size = sum(1 for x in lines[start:n + 1] if x.strip())
                    found.append((name, start + 1, size))
    return found


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..")
    faults = []
    for folder in FOLDERS:
        for here, _, names in os.walk(os.path.join(root, folder)):
            for file in sorted(names):
                if not re.search(r"\.(cpp|h|hpp|cc)$", file):
                    continue
                path = os.path.join(here, file)
                rel = os.path.relpath(path, root)
                with open(path, encoding="utf-8", errors="replace") as f:
                    lines = f.read().split("\n")
                size = sum(1 for x in lines if x.strip())
                if size > MAX_FILE_LINES and rel not in KNOWN:
                    faults.append(f"{rel}: {size} non-blank lines (at most {MAX_FILE_LINES})")
                for name, first, length in functions(lines):
                    if length > MAX_FUNCTION_LINES and f"{rel}:{name}" not in KNOWN:
                        faults.append(f"{rel}:{first}: {name} is {length} lines "
                                      f"(at most {MAX_FUNCTION_LINES})")
    for fault in faults:
        print("sizes: " + fault, file=sys.stderr)
    if faults:
        return 1
    print(f"sizes: no file over {MAX_FILE_LINES} lines, no function over {MAX_FUNCTION_LINES}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
