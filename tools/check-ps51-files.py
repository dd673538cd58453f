#!/usr/bin/env python3
"""Checks that Windows PowerShell 5.1 reads every PowerShell file of the repository as written.

5.1 reads a script file without a byte-order mark in the ANSI code page, so any non-ASCII
byte in such a file becomes other characters (Thai letters turn into quotes and the file
no longer parses). It also knows fewer escapes in double-quoted strings than PowerShell 7:
`e and `u{...} are plain letters there.

Usage: check-ps51-files.py [FILE...]   (default: every .ps1/.psm1/.psd1 git knows of,
tracked or not ignored, and the setup script that ./build.sh puts together from its parts,
dist/ORVELLE-Prerequisites.ps1, which must be there). Prints "file:line: problem" for each problem and writes
"<files passed> <files failed>" to $TEST_COUNTS_FILE when it is set; exits 1 on any problem.
"""

import os
import subprocess
import sys

UTF8_BOM = b"\xef\xbb\xbf"
UTF16_BOMS = (b"\xff\xfe", b"\xfe\xff")
SUFFIXES = (".ps1", ".psm1", ".psd1")
# Built from the parts in setup-script/ and not kept in git: the file players run.
ASSEMBLED_SCRIPT = os.path.join("dist", "ORVELLE-Prerequisites.ps1")


def repository_files():
    output = subprocess.run(
        ["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
        check=True, capture_output=True).stdout.decode("utf-8")
    return sorted({name for name in output.split("\0")
                   if name.endswith(SUFFIXES) and os.path.isfile(name)}) + [ASSEMBLED_SCRIPT]


def encoding_problems(data):
    """Lines holding non-ASCII bytes in a file 5.1 would read as ANSI."""
    if data.startswith(UTF8_BOM) or data.startswith(UTF16_BOMS):
        return []
    return [(number, "non-ASCII text in a file without a UTF-8 byte-order mark "
                     "(Windows PowerShell 5.1 reads it in the ANSI code page)")
            for number, line in enumerate(data.split(b"\n"), 1)
            if any(byte >= 0x80 for byte in line)]


def escape_problems(text):
    """`e and `u{ escapes inside expandable strings, which 5.1 does not know.

    A small scanner of PowerShell's quoting: comments, '...' and @'...'@ strings are
    passed over; "..." and @"..."@ strings are searched, and code inside their $(...)
    is scanned as code again.
    """
    problems = []
    line = 1
    # Stack of what is open: "code" (with its parenthesis depth), '"' or '@"'.
    stack = [["code", 0]]
    i = 0
    n = len(text)

    def at_line_start(position):
        return position == 0 or text[position - 1] == "\n"

    while i < n:
        char = text[i]
        state = stack[-1]
        if char == "\n":
            line += 1
        if state[0] == "code":
            if char == "`":
                if i + 1 < n and text[i + 1] == "\n":
                    line += 1
                i += 2
                continue
            if text.startswith("<#", i):
                end = text.find("#>", i + 2)
                end = n if end < 0 else end + 2
                line += text.count("\n", i, end)
                i = end
                continue
            if char == "#" and (i == 0 or text[i - 1] in " \t\n\r;({|,"):
                end = text.find("\n", i)
                i = n if end < 0 else end
                continue
            if text.startswith("@'", i) and text[i + 2:i + 3] in ("\n", "\r"):
                end = text.find("\n'@", i)
                end = n if end < 0 else end + 3
                line += text.count("\n", i, end)
                i = end
                continue
            if text.startswith('@"', i) and text[i + 2:i + 3] in ("\n", "\r"):
                stack.append(['@"', 0])
                i += 2
                continue
            if char == "'":
                j = i + 1
                while j < n:
                    if text[j] == "'":
                        if j + 1 < n and text[j + 1] == "'":
                            j += 2
                            continue
                        break
                    j += 1
                line += text.count("\n", i, j)
                i = j + 1
                continue
            if char == '"':
                stack.append(['"', 0])
                i += 1
                continue
            if char == "(":
                state[1] += 1
            elif char == ")" and len(stack) > 1:
                state[1] -= 1
                if state[1] == 0:
                    stack.pop()
            i += 1
            continue
        # Inside an expandable string.
        if char == "`" and i + 1 < n:
            if text[i + 1] == "e":
                problems.append((line, "the escape `e exists only in PowerShell 7; use [char]27"))
            elif text.startswith("u{", i + 1):
                problems.append((line, "the escape `u{...} exists only in PowerShell 7; use [char]0x..."))
            if text[i + 1] == "\n":
                line += 1
            i += 2
            continue
        if text.startswith("$(", i):
            stack.append(["code", 1])
            i += 2
            continue
        if state[0] == '"' and char == '"':
            if i + 1 < n and text[i + 1] == '"':
                i += 2
                continue
            stack.pop()
        elif state[0] == '@"' and char == '"' and at_line_start(i) and text.startswith('"@', i):
            stack.pop()
            i += 2
            continue
        i += 1
    return problems


def check(path):
    if not os.path.isfile(path):
        return [(0, "missing (./build.sh makes it)")]
    with open(path, "rb") as handle:
        data = handle.read()
    problems = encoding_problems(data)
    if data.startswith(UTF16_BOMS):
        text = data.decode("utf-16")
    else:
        text = data.decode("utf-8", errors="replace")
        if text.startswith("\ufeff"):
            text = text[1:]
    problems += escape_problems(text.replace("\r\n", "\n"))
    return sorted(problems)


def main(argv):
    files = argv[1:] or repository_files()
    passed = failed = 0
    for path in files:
        problems = check(path)
        for number, problem in problems:
            print("%s:%d: %s" % (path, number, problem))
        if problems:
            failed += 1
        else:
            passed += 1
    print("ps51-files: %d passed, %d failed (Windows PowerShell 5.1 reading of %d files)"
          % (passed, failed, len(files)))
    counts_file = os.environ.get("TEST_COUNTS_FILE")
    if counts_file:
        with open(counts_file, "w") as handle:
            handle.write("%d %d\n" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
