#!/usr/bin/env bash
# Fails when a text the tool can write is missing from docs/log-lines.md: a
# run log line, a message box's text or caption, or a console message. The
# texts are read from the tool's own sources (base/ log/ system/ filetree/
# exchange/ workflows/ records/ engine/ launcher/), never from a list kept by
# hand:
#
#   - every LogLine(...) and LogLineNow(...) call and every stream insertion
#     into the run log (`runLog << ...`, or any `<<` chain that ends with
#     EndLine);
#   - MessageBox*(...)'s text and caption; PrintText, printf, wprintf and their kin
#     (their format strings cut at each %-conversion, line break and tab);
#   - what those take their text from, followed through the code: string
#     constants (kNoticeText), local variables (`const std::wstring process =
#     ...`), functions that return a text (FailedRunText, EngineHangLine,
#     EngineCallName, ...) with the arguments of that very call, and the
#     parameters of a function that logs them (RunStepWithin's
#     notStartedLine, LogFinalLine, ShowUserNotice), at each of its calls.
#
# A line built from parts counts by its fixed parts: each string literal that
# holds a word of three letters or more (one CJK character counts as a
# letter) must appear on the page verbatim, its ends trimmed of blanks; a
# single space in it may be a line break on the page. Numbers, paths, process
# ids and other parts known only at run time are not asked for.
#
#   scripts/check-log-lines.sh          check; each missing text with its file:line
#   scripts/check-log-lines.sh --list   every text found, with its kind and file:line
#
# Needs python3 only, which scripts/setup.sh installs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
exec python3 - "$root" "$@" <<'PYTHON'
import os
import re
import sys

ROOT = sys.argv[1]
LIST = "--list" in sys.argv[2:]
PAGE = "docs/log-lines.md"
LAYERS = ["base", "log", "system", "filetree", "exchange", "workflows", "records", "engine", "launcher"]

KEYWORDS = {"if", "for", "while", "switch", "catch", "return", "sizeof", "else", "do", "new", "delete",
            "throw", "case", "static_cast", "reinterpret_cast", "const_cast", "dynamic_cast", "decltype",
            "alignof", "noexcept", "static_assert", "defined"}
CONSOLE_SINKS = {"PrintText", "printf", "wprintf", "fprintf", "fwprintf", "puts", "_putws", "fputs", "fputws"}
STREAM_END = "EndLine"
TEXT_TYPE = re.compile(r"wstring|string|wchar_t|\bchar\b|WCHAR|\bL?P?C?WSTR\b|\bauto\b|\bFixedText\b")

# --- tokens ---------------------------------------------------------------

TOKEN = re.compile(r"""
    (?P<comment>//[^\n]*|/\*.*?\*/)
  | (?P<pre>^[ \t]*\#[^\n]*(?:\\\n[^\n]*)*)
  | (?P<str>(?:L|u8|u|U)?"(?:\\.|[^"\\\n])*")
  | (?P<chr>(?:L|u8|u|U)?'(?:\\.|[^'\\\n])+')
  | (?P<ident>[A-Za-z_][A-Za-z0-9_]*(?:\s*::\s*[A-Za-z_~][A-Za-z0-9_]*)*)
  | (?P<num>\d[\w.']*)
  | (?P<punct>::|<<=|>>=|<<|>>|->|\+\+|--|&&|\|\||[-+*/%&|^!=<>]=|\[\[|\]\]|\S)
  | (?P<space>[ \t]*\n|[ \t]+)
""", re.S | re.M | re.X)

ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "\\": "\\", '"': '"', "'": "'", "0": "\0", "a": "\a",
           "b": "\b", "f": "\f", "v": "\v", "?": "?"}


def decode(body):
    out, i = [], 0
    while i < len(body):
        c = body[i]
        if c == "\\" and i + 1 < len(body):
            n = body[i + 1]
            if n == "x":
                m = re.match(r"[0-9A-Fa-f]+", body[i + 2:])
                out.append(chr(int(m.group(0), 16)))
                i += 2 + len(m.group(0))
                continue
            out.append(ESCAPES.get(n, n))
            i += 2
            continue
        out.append(c)
        i += 1
    return "".join(out)


class Tok:
    __slots__ = ("kind", "text", "value", "line", "file")

    def __init__(self, kind, text, value, line, file):
        self.kind, self.text, self.value, self.line, self.file = kind, text, value, line, file


def tokenize(path, rel):
    with open(path, encoding="utf-8") as f:
        source = f.read()
    toks, line = [], 1
    for m in TOKEN.finditer(source):
        kind = m.lastgroup
        text = m.group(0)
        if kind == "str":
            value = decode(text[text.index('"') + 1:-1])
            prev = toks[-1] if toks else None
            if prev is not None and prev.kind == "str":  # "a" "b" is one literal
                prev.value += value
            else:
                toks.append(Tok("str", text, value, line, rel))
        elif kind == "ident":
            toks.append(Tok("ident", text, re.sub(r"\s+", "", text), line, rel))
        elif kind in ("chr", "num", "punct"):
            toks.append(Tok(kind, text, text, line, rel))
        line += text.count("\n")
    return toks


def match_close(toks, i):
    """Index of the bracket that closes toks[i]."""
    pairs = {"(": ")", "[": "]", "{": "}"}
    opening, closing, depth = toks[i].value, pairs[toks[i].value], 0
    for j in range(i, len(toks)):
        if toks[j].value == opening:
            depth += 1
        elif toks[j].value == closing:
            depth -= 1
            if depth == 0:
                return j
    return len(toks) - 1


def split_args(toks, start, end):
    """The top-level comma-separated ranges of toks[start:end]."""
    args, depth, first = [], 0, start
    for j in range(start, end):
        v = toks[j].value
        if v in ("(", "[", "{"):
            depth += 1
        elif v in (")", "]", "}"):
            depth -= 1
        elif v == "," and depth == 0:
            args.append((first, j))
            first = j + 1
    if end > start:
        args.append((first, end))
    return args


def statement_end(toks, i):
    depth = 0
    for j in range(i, len(toks)):
        v = toks[j].value
        if v in ("(", "[", "{"):
            depth += 1
        elif v in (")", "]", "}"):
            if depth == 0:
                return j
            depth -= 1
        elif v == ";" and depth == 0:
            return j
    return len(toks)


def last_name(qualified):
    return qualified.split("::")[-1]


# --- the sources: functions, constants ------------------------------------

class Function:
    def __init__(self, file, toks, name, name_at, params, body_start, body_end, returns_text):
        self.file, self.toks, self.name, self.name_at = file, toks, name, name_at
        self.params, self.body_start, self.body_end = params, body_start, body_end
        self.returns_text = returns_text


files = {}
for layer in LAYERS:
    for folder, _, names in os.walk(os.path.join(ROOT, layer)):
        for name in sorted(names):
            if name.endswith((".cpp", ".h")):
                path = os.path.join(folder, name)
                rel = os.path.relpath(path, ROOT)
                files[rel] = tokenize(path, rel)

functions = {}   # last name -> [Function]
constants = {}   # last name -> [(file, toks, start, end)], outside functions
by_file = {}     # file -> [Function]

for rel, toks in files.items():
    by_file[rel] = []
    for i, t in enumerate(toks):
        if t.kind != "ident" or last_name(t.value) in KEYWORDS:
            continue
        if i + 1 >= len(toks) or toks[i + 1].value != "(":
            # A constant with a text: `... kName[] = L"..."` or `... kName = L"..."`.
            j = i + 1
            if j + 1 < len(toks) and toks[j].value == "[" and toks[j + 1].value == "]":
                j += 2
            if j < len(toks) and toks[j].value == "=":
                end = statement_end(toks, j + 1)
                if any(toks[k].kind == "str" for k in range(j + 1, end)):
                    constants.setdefault(last_name(t.value), []).append((rel, toks, i, j + 1, end))
            continue
        prev = toks[i - 1] if i > 0 else None
        if prev is None or not (prev.kind == "ident" or prev.value in ("*", "&", ">", "]]", "~")):
            continue
        if prev.kind == "ident" and prev.value in KEYWORDS | {"else", "return", "new", "throw", "case", "goto"}:
            continue
        close = match_close(toks, i + 1)
        k = close + 1
        while k < len(toks) and toks[k].value in ("const", "noexcept", "override", "final"):
            k += 1
        if k >= len(toks) or toks[k].value != "{":
            continue
        params = []
        for (a, b) in split_args(toks, i + 2, close):
            cut = next((x for x in range(a, b) if toks[x].value == "="), b)
            names = [toks[x].value for x in range(a, cut) if toks[x].kind == "ident"]
            # Only a parameter that holds text can carry a line's text.
            textual = len(names) >= 2 and TEXT_TYPE.search(" ".join(names[:-1]))
            params.append(names[-1] if textual else None)
        # The return type: the tokens before the name back to the last statement or block boundary.
        r = i - 1
        while r >= 0 and toks[r].value not in (";", "}", "{", "]]", ":", ")") and toks[r].kind != "str":
            r -= 1
        returns = TEXT_TYPE.search(" ".join(toks[x].value for x in range(r + 1, i))) is not None
        fn = Function(rel, toks, last_name(t.value), i, params, k, match_close(toks, k), returns)
        functions.setdefault(fn.name, []).append(fn)
        by_file[rel].append(fn)


def enclosing(file, index):
    best = None
    for fn in by_file[file]:
        if fn.body_start <= index <= fn.body_end and (best is None or fn.body_start > best.body_start):
            best = fn
    return best


# A constant is declared outside any function; a function's own variables are
# followed where they are used.
constants = {name: [(rel, toks, a, b) for (rel, toks, at, a, b) in places if enclosing(rel, at) is None]
             for name, places in constants.items()}


# --- following the texts --------------------------------------------------

found = {}          # (kind, text) -> first (file, line)
wrappers = {}       # (function name, parameter index) -> kind
pending = []        # wrappers still to follow to their calls
seen = set()

FORMAT = re.compile(r"%[-+ #0]*(?:\d+|\*)?(?:\.(?:\d+|\*))?(?:hh|h|ll|l|L|z|j|t|I64|I32|I)?[A-Za-z%]")
WORD = re.compile(r"[^\W\d_]{3,}|[\u2e80-\u9fff\uac00-\ud7af\uff00-\uffef]")


def note(kind, tok):
    parts = [tok.value]
    if kind == "console":
        parts = re.split(r"\n|\t|" + FORMAT.pattern, tok.value)
    for part in parts:
        text = part.strip(" \r\n\t")
        if WORD.search(text) and (kind, text) not in found:
            found[(kind, text)] = (tok.file, tok.line)


def follow(toks, start, end, fn, bindings, kind, depth=0):
    """Notes the texts that toks[start:end], an expression in fn, puts into a line."""
    key = (id(toks), start, end, kind, tuple(sorted((k, id(v[0]), v[1]) for k, v in bindings.items())))
    if key in seen or depth > 40:
        return
    seen.add(key)
    i = start
    while i < end:
        t = toks[i]
        member = i > 0 and toks[i - 1].value in (".", "->")
        if t.kind == "str":
            note(kind, t)
        elif t.kind == "ident" and not member:
            name = last_name(t.value)
            if i + 1 < end and toks[i + 1].value == "(":
                close = match_close(toks, i + 1)
                callees = [f for f in functions.get(name, []) if f.returns_text]
                if callees:
                    args = split_args(toks, i + 2, close)
                    for callee in callees:
                        bound = {}
                        for n, (a, b) in zip(callee.params, args):
                            if n:
                                bound[n] = (toks, a, b, fn, bindings)
                        follow_returns(callee, bound, kind, depth + 1)
                    i = close + 1
                    continue
            else:
                follow_name(name, toks, i, fn, bindings, kind, depth)
        i += 1


def follow_returns(fn, bindings, kind, depth):
    toks = fn.toks
    for i in range(fn.body_start, fn.body_end):
        if toks[i].value == "return":
            follow(toks, i + 1, statement_end(toks, i + 1), fn, bindings, kind, depth)


def declaration(fn, name, before):
    """(index, type) of the last declaration of a variable name in fn's body before
    the token index `before`, or None."""
    toks, last = fn.toks, None
    for j in range(fn.body_start, min(before, fn.body_end)):
        if toks[j].value == name and toks[j - 1].value not in (".", "->") and \
                (toks[j - 1].kind == "ident" and toks[j - 1].value not in KEYWORDS or toks[j - 1].value in "*&>"):
            r = j - 1
            while toks[r].value not in (";", "{", "}", "(", ")", ","):
                r -= 1
            last = (j, " ".join(toks[x].value for x in range(r + 1, j)))
    return last


def follow_name(name, toks, at, fn, bindings, kind, depth):
    if fn is not None:
        if name in fn.params:
            if name in bindings:
                btoks, a, b, bfn, bbind = bindings[name]
                follow(btoks, a, b, bfn, bbind, kind, depth + 1)
            else:
                wrap(fn.name, fn.params.index(name), kind)
        declared = declaration(fn, name, at) if toks is fn.toks else None
        if declared is not None:
            if not TEXT_TYPE.search(declared[1]):
                return
            # Its values up to this use: `name = ...`, `name += ...`, `std::wstring name(...)`.
            for j in range(declared[0], at):
                if fn.toks[j].value != name or fn.toks[j - 1].value in (".", "->"):
                    continue
                nxt = fn.toks[j + 1].value
                # `line << ...` adds to a text built in place (FixedText).
                if nxt in ("=", "+=", "<<"):
                    follow(fn.toks, j + 2, statement_end(fn.toks, j + 2), fn, bindings, kind, depth + 1)
                elif nxt in ("(", "{") and fn.toks[j - 1].kind == "ident" and fn.toks[j - 1].value not in KEYWORDS:
                    follow(fn.toks, j + 2, match_close(fn.toks, j + 1), fn, bindings, kind, depth + 1)
            return
        if name in fn.params:
            return
    for (rel, ctoks, a, b) in constants.get(name, []):
        follow(ctoks, a, b, None, {}, kind, depth + 1)


def wrap(name, index, kind):
    if (name, index) not in wrappers:
        wrappers[(name, index)] = kind
        pending.append((name, index, kind))


def calls_of(name):
    """(toks, index of the name, enclosing function) of each call of name in a function body."""
    for rel, toks in files.items():
        for i, t in enumerate(toks):
            if t.kind == "ident" and last_name(t.value) == name and i + 1 < len(toks) \
                    and toks[i + 1].value == "(":
                fn = enclosing(rel, i)
                if fn is not None and fn.name_at != i:
                    yield toks, i, fn


def sink_args(toks, i, positions, fn, kind):
    close = match_close(toks, i + 1)
    for n, (a, b) in enumerate(split_args(toks, i + 2, close)):
        if positions is None or n in positions:
            follow(toks, a, b, fn, {}, kind)


for rel, toks in files.items():
    for i, t in enumerate(toks):
        if t.kind != "ident" or i + 1 >= len(toks):
            continue
        name = last_name(t.value)
        fn = enclosing(rel, i)
        if toks[i + 1].value == "(":
            if name in ("LogLine", "LogLineNow"):
                sink_args(toks, i, None, fn, "log")
            elif name.startswith("MessageBox"):
                sink_args(toks, i, {1, 2}, fn, "box")
            elif name in CONSOLE_SINKS:
                sink_args(toks, i, None, fn, "console")
        elif toks[i + 1].value == "<<" and (i == 0 or toks[i - 1].value not in ("<<", ".", "->")):
            end = statement_end(toks, i)
            if name == "runLog" or any(toks[k].value == STREAM_END for k in range(i, end)):
                first = i + 2
                for k in range(i + 2, end + 1):
                    if k == end or (toks[k].value == "<<"):
                        follow(toks, first, k, fn, {}, "log")
                        first = k + 1

while pending:
    name, index, kind = pending.pop()
    for toks, i, fn in calls_of(name):
        close = match_close(toks, i + 1)
        args = split_args(toks, i + 2, close)
        if index < len(args):
            follow(toks, args[index][0], args[index][1], fn, {}, kind)

# --- the page -------------------------------------------------------------

def on_page(text):
    # A single space may be a line break (and the next line's indent) on the page.
    pattern = re.sub(r"(?<! )\\ (?! )", r"(?: |\\n[ \\t>]*)", re.escape(text))
    return re.search(pattern, page) is not None


order = sorted(found.items(), key=lambda item: (item[1][0], item[1][1], item[0][1]))
if LIST:
    for (kind, text), (rel, line) in order:
        print(f"{rel}:{line}: {kind}: {text}")
    sys.exit(0)

with open(os.path.join(ROOT, PAGE), encoding="utf-8") as f:
    page = f.read()
missing = [(kind, text, rel, line) for (kind, text), (rel, line) in order if not on_page(text)]
if missing:
    print(f"check-log-lines: {len(missing)} text(s) the tool writes are not in {PAGE}:", file=sys.stderr)
    for kind, text, rel, line in missing:
        print(f"  {rel}:{line}: {kind}: {text}", file=sys.stderr)
    print(f"Describe each on {PAGE}, word for word (scripts/check-log-lines.sh --list shows all).",
          file=sys.stderr)
    sys.exit(1)
PYTHON
