#!/usr/bin/env python3
"""The result codes have one source, kx.h's kx_result enum: every table of
them elsewhere must hold exactly its names and numbers.

  check_result_codes.py REPO_DIR

- web/kx.js: RESULT_NAMES, the names in the order of their numbers;
- web/kx.d.ts: KxResultName, every KX_ERR_ name and KX_ERR_UNKNOWN;
- python/src/kx/__init__.py: RESULT_CODES, every name and its number, and
  each module constant OK / ERR_x the value of KX_OK / KX_ERR_x.

Prints what is missing or different and exits 1; 0 when all agree.
"""
import re
import sys
from pathlib import Path


def header_codes(text):
    body = re.search(r"typedef enum kx_result \{(.*?)\} kx_result;", text, re.S)
    if body is None:
        raise SystemExit("kx.h: no kx_result enum")
    without_comments = re.sub(r"/\*.*?\*/", "", body.group(1), flags=re.S)
    codes = {name: int(value) for name, value in re.findall(r"\b(KX_\w+)\s*=\s*(\d+)", without_comments)}
    if len(codes) < 2 or sorted(codes.values()) != list(range(len(codes))):
        raise SystemExit(f"kx.h: kx_result is not the numbers 0..n in a row: {codes}")
    return codes


def strings_in(text):
    return re.findall(r"'([A-Z_]+)'", text)


def compare(where, got, want, problems):
    if got is None:
        problems.append(f"{where}: not found")
    elif got != want:
        missing = [x for x in want if x not in got]
        extra = [x for x in got if x not in want]
        if missing or extra:
            problems.append(f"{where}: missing {missing}, not in kx.h {extra}")
        elif isinstance(got, dict):
            differ = {name: f"{got[name]}, kx.h {want[name]}" for name in want if got[name] != want[name]}
            problems.append(f"{where}: other numbers {differ}")
        else:
            problems.append(f"{where}: in another order than kx.h's numbers")


def main():
    repo = Path(sys.argv[1])
    codes = header_codes((repo / "codec/include/kx.h").read_text())
    by_number = [name for name, _ in sorted(codes.items(), key=lambda item: item[1])]
    problems = []

    js = (repo / "web/kx.js").read_text()
    names = re.search(r"const RESULT_NAMES = \[(.*?)\];", js, re.S)
    compare("web/kx.js RESULT_NAMES", strings_in(names.group(1)) if names else None, by_number, problems)

    ts = (repo / "web/kx.d.ts").read_text()
    union = re.search(r"export type KxResultName =(.*?);", ts, re.S)
    want_ts = sorted([name for name in codes if name != "KX_OK"] + ["KX_ERR_UNKNOWN"])
    compare("web/kx.d.ts KxResultName", sorted(strings_in(union.group(1))) if union else None, want_ts, problems)

    py = (repo / "python/src/kx/__init__.py").read_text()
    table = re.search(r"^RESULT_CODES = \{(.*?)^\}", py, re.S | re.M)
    py_codes = {name: int(value) for name, value in re.findall(r'"(KX_\w+)":\s*(\d+)', table.group(1))} if table else None
    compare("python/src/kx/__init__.py RESULT_CODES", py_codes, codes, problems)
    for name, value in re.findall(r"^((?:OK|ERR_\w+)) = (\d+)$", py, re.M):
        if codes.get("KX_" + name) != int(value):
            problems.append(f"python/src/kx/__init__.py: {name} = {value}, kx.h has {codes.get('KX_' + name)}")

    for problem in problems:
        print(problem)
    print(f"{len(codes)} result codes in kx.h; {len(problems)} tables differ")
    return 1 if problems else 0


sys.exit(main())
