#!/usr/bin/env python3
"""Scanner table generator for the query engine's lexers.

Reads a rule file (resources/*.l) and writes the DFA tables that the lexer
runtime (sql_engine/front/lex_runtime.h) scans with: per state a slice of the mark
list, a slice of the match list and a slice of the transition list, each
transition a 256-bit character set and a target state.

Matching is longest-match; at equal length the rule with the lower number
wins (the runtime pushes a state's matches so that the lowest rule ends on
top).  States 0 and 1 are the start states: 1 when the token begins a line
(rules anchored with ^ are live only there), 0 otherwise.  The byte 0 is the
end of the input to the runtime and is never part of any character set.

Rule file format
----------------
    # comment line (also blank lines)
    %tables   SqlLexTables     C++ name of the TLexTables object
    %enum     TSqlLexRule      C++ name of the enum of rule numbers
    %define   NAME  regex      a macro, used as {NAME}
    %%
    ruleName  regex            rule 1
    ruleName  regex            rule 2 ...

Rules are numbered from 1 in file order.  A regex runs to the end of the
line (trailing blanks ignored) and may not contain unquoted blanks.

Regex syntax: c (a character), \\n \\r \\t \\xHH \\c (escapes), "text"
(literal text, escapes allowed), [set] and [^set] with ranges a-z and
escapes, . (any byte but LF), {NAME}, (r), r|s, r*, r+, r?, and ^ at the
start of a rule.

Outputs
-------
    lexgen.py RULES --cpp OUT.cpp --header OUT.h --header-include PATH
    lexgen.py RULES --text OUT.txt       (plain dump, read by the tests)
"""

import argparse
import sys

ALL_BYTES = ((1 << 256) - 1) & ~1  # every byte but 0
LF = 10


class RuleError(Exception):
    pass


# ---------------------------------------------------------------------------
# Regex parsing into a small tree: ('set', mask) | ('cat', [..]) |
# ('alt', [..]) | ('star', t) | ('plus', t) | ('opt', t) | ('eps',)


class RegexParser:
    def __init__(self, text, macros, where):
        self.s = text
        self.i = 0
        self.macros = macros
        self.where = where

    def error(self, msg):
        raise RuleError("%s: %s at column %d of %r" % (self.where, msg, self.i + 1, self.s))

    def peek(self):
        return self.s[self.i] if self.i < len(self.s) else None

    def take(self):
        c = self.peek()
        if c is None:
            self.error("unexpected end of pattern")
        self.i += 1
        return c

    def parse(self):
        t = self.alt()
        if self.i != len(self.s):
            self.error("unexpected %r" % self.s[self.i])
        return t

    def alt(self):
        items = [self.seq()]
        while self.peek() == "|":
            self.i += 1
            items.append(self.seq())
        return items[0] if len(items) == 1 else ("alt", items)

    def seq(self):
        items = []
        while self.peek() is not None and self.peek() not in "|)":
            items.append(self.rep())
        if not items:
            return ("eps",)
        return items[0] if len(items) == 1 else ("cat", items)

    def rep(self):
        t = self.atom()
        while self.peek() is not None and self.peek() in "*+?":
            op = self.take()
            t = ({"*": "star", "+": "plus", "?": "opt"}[op], t)
        return t

    def escape(self):
        c = self.take()
        simple = {"n": 10, "r": 13, "t": 9, "f": 12, "v": 11, "a": 7, "b": 8, "0": 0}
        if c in simple:
            return simple[c]
        if c == "x":
            h = self.s[self.i:self.i + 2]
            if len(h) != 2 or any(ch not in "0123456789abcdefABCDEF" for ch in h):
                self.error("bad \\x escape")
            self.i += 2
            return int(h, 16)
        return self.byte(c)

    def byte(self, c):
        b = c.encode("latin-1")
        return b[0]

    def atom(self):
        c = self.take()
        if c == "(":
            t = self.alt()
            if self.take() != ")":
                self.error("missing )")
            return t
        if c == "[":
            return ("set", self.charset())
        if c == '"':
            items = []
            while True:
                d = self.take()
                if d == '"':
                    break
                b = self.escape() if d == "\\" else self.byte(d)
                items.append(("set", (1 << b) & ALL_BYTES))
            if not items:
                return ("eps",)
            return items[0] if len(items) == 1 else ("cat", items)
        if c == ".":
            return ("set", ALL_BYTES & ~(1 << LF))
        if c == "{":
            j = self.s.find("}", self.i)
            if j < 0:
                self.error("missing }")
            name = self.s[self.i:j]
            self.i = j + 1
            if name not in self.macros:
                self.error("unknown macro {%s}" % name)
            return self.macros[name]
        if c == "\\":
            return ("set", (1 << self.escape()) & ALL_BYTES)
        if c in "*+?|)":
            self.error("misplaced %r" % c)
        if c in " \t":
            self.error("unquoted blank")
        return ("set", (1 << self.byte(c)) & ALL_BYTES)

    def charset(self):
        negate = False
        if self.peek() == "^":
            negate = True
            self.i += 1
        mask = 0
        first = True
        while True:
            c = self.take()
            if c == "]" and not first:
                break
            first = False
            lo = self.escape() if c == "\\" else self.byte(c)
            if self.peek() == "-" and self.i + 1 < len(self.s) and self.s[self.i + 1] != "]":
                self.i += 1
                d = self.take()
                hi = self.escape() if d == "\\" else self.byte(d)
                if hi < lo:
                    self.error("reversed range")
                for b in range(lo, hi + 1):
                    mask |= 1 << b
            else:
                mask |= 1 << lo
        if negate:
            mask = ~mask & ((1 << 256) - 1)
        return mask & ALL_BYTES


# ---------------------------------------------------------------------------
# Rule file


class RuleFile:
    def __init__(self):
        self.tables_name = None
        self.enum_name = None
        self.macros = {}
        self.rules = []  # (name, anchored, tree, pattern text)


def read_rules(path):
    rf = RuleFile()
    in_rules = False
    with open(path, "r", encoding="latin-1") as f:
        lines = f.read().split("\n")
    for n, raw in enumerate(lines, 1):
        line = raw.rstrip("\r").rstrip()
        where = "%s:%d" % (path, n)
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        if not in_rules:
            if line.strip() == "%%":
                in_rules = True
                continue
            parts = line.split(None, 2)
            if parts[0] == "%tables" and len(parts) == 2:
                rf.tables_name = parts[1]
            elif parts[0] == "%enum" and len(parts) == 2:
                rf.enum_name = parts[1]
            elif parts[0] == "%define" and len(parts) == 3:
                rf.macros[parts[1]] = RegexParser(parts[2], rf.macros, where).parse()
            else:
                raise RuleError("%s: unknown directive %r" % (where, line))
            continue
        parts = line.split(None, 1)
        if len(parts) != 2:
            raise RuleError("%s: a rule needs a name and a pattern" % where)
        name, pattern = parts
        if any(r[0] == name for r in rf.rules):
            raise RuleError("%s: rule name %s used twice" % (where, name))
        anchored = pattern.startswith("^")
        tree = RegexParser(pattern[1:] if anchored else pattern, rf.macros, where).parse()
        rf.rules.append((name, anchored, tree, pattern))
    if not in_rules:
        raise RuleError("%s: no %%%% line before the rules" % path)
    if not rf.rules:
        raise RuleError("%s: no rules" % path)
    if len(rf.rules) > 256:
        raise RuleError("%s: more than 256 rules" % path)
    if rf.tables_name is None:
        raise RuleError("%s: %%tables missing" % path)
    return rf


# ---------------------------------------------------------------------------
# Thompson NFA


class NFA:
    def __init__(self):
        self.eps = []     # state -> list of states
        self.moves = []   # state -> list of (mask, state)
        self.accept = {}  # state -> rule number

    def new(self):
        self.eps.append([])
        self.moves.append([])
        return len(self.eps) - 1

    def build(self, t):
        """Returns (start, end) of a fragment for tree t."""
        kind = t[0]
        if kind == "set":
            a, b = self.new(), self.new()
            if t[1]:
                self.moves[a].append((t[1], b))
            return a, b
        if kind == "eps":
            a = self.new()
            return a, a
        if kind == "cat":
            start, end = self.build(t[1][0])
            for sub in t[1][1:]:
                s, e = self.build(sub)
                self.eps[end].append(s)
                end = e
            return start, end
        if kind == "alt":
            a, b = self.new(), self.new()
            for sub in t[1]:
                s, e = self.build(sub)
                self.eps[a].append(s)
                self.eps[e].append(b)
            return a, b
        if kind in ("star", "plus", "opt"):
            a, b = self.new(), self.new()
            s, e = self.build(t[1])
            self.eps[a].append(s)
            self.eps[e].append(b)
            if kind != "plus":
                self.eps[a].append(b)
            if kind != "opt":
                self.eps[e].append(s)
            return a, b
        raise AssertionError(kind)

    def closure(self, states):
        seen = set(states)
        work = list(states)
        while work:
            s = work.pop()
            for t in self.eps[s]:
                if t not in seen:
                    seen.add(t)
                    work.append(t)
        return frozenset(seen)


# ---------------------------------------------------------------------------
# DFA by subset construction


class DFA:
    def __init__(self):
        self.accepts = []      # state -> sorted rule numbers
        self.transitions = []  # state -> list of (mask, target)


def build_dfa(rf):
    nfa = NFA()
    plain_starts, all_starts = [], []
    for number, (_name, anchored, tree, _text) in enumerate(rf.rules, 1):
        s, e = nfa.build(tree)
        nfa.accept[e] = number
        all_starts.append(s)
        if not anchored:
            plain_starts.append(s)

    dfa = DFA()
    index = {}
    sets = []
    work = []

    def state_of(nset, force_new=False):
        if nset in index and not force_new:
            return index[nset]
        k = len(sets)
        sets.append(nset)
        dfa.accepts.append(sorted({nfa.accept[s] for s in nset if s in nfa.accept}))
        dfa.transitions.append(None)
        if nset not in index:
            index[nset] = k
        work.append(k)
        return k

    closures = {}
    state_of(nfa.closure(plain_starts))
    state_of(nfa.closure(all_starts), force_new=True)  # always state 1
    while work:
        k = work.pop(0)
        nset = sets[k]
        moves = [m for s in nset for m in nfa.moves[s]]
        by_target = {}
        for c in range(1, 256):
            bit = 1 << c
            tgt = frozenset(t for mask, t in moves if mask & bit)
            if not tgt:
                continue
            cl = closures.get(tgt)
            if cl is None:
                cl = closures[tgt] = nfa.closure(tgt)
            by_target[cl] = by_target.get(cl, 0) | bit
        trans = []
        for tset, mask in by_target.items():
            trans.append((mask, state_of(tset)))
        trans.sort(key=lambda mt: (mt[0] & -mt[0]).bit_length())  # by lowest byte
        dfa.transitions[k] = trans
    return dfa


def check_dfa(dfa):
    """Each state's character sets must be disjoint and name valid targets."""
    n = len(dfa.accepts)
    for k, trans in enumerate(dfa.transitions):
        seen = 0
        for mask, t in trans:
            if mask & seen:
                raise RuleError("internal: overlapping transitions in state %d" % k)
            if mask & 1:
                raise RuleError("internal: byte 0 in a transition of state %d" % k)
            if not 0 <= t < n:
                raise RuleError("internal: bad target in state %d" % k)
            seen |= mask


# ---------------------------------------------------------------------------
# Flattening into the runtime's lists


def flatten(dfa):
    yyk, yym, yyt = [], [], []
    kl, kh, ml, mh, tl, th = [], [], [], [], [], []
    for k in range(len(dfa.accepts)):
        kl.append(len(yyk))
        yyk.extend(dfa.accepts[k])
        kh.append(len(yyk) - 1)
        ml.append(len(yym))
        yym.extend(dfa.accepts[k])
        mh.append(len(yym) - 1)
        tl.append(len(yyt))
        yyt.extend(dfa.transitions[k])
        th.append(len(yyt) - 1)
    for lst in (yyk, yym, yyt, kl, kh, ml, mh, tl, th):
        if len(lst) > 32767:
            raise RuleError("tables exceed the 16-bit range")
    return dict(yyk=yyk, yym=yym, yyt=yyt, yykl=kl, yykh=kh, yyml=ml, yymh=mh, yytl=tl, yyth=th)


def mask_bytes(mask):
    return [(mask >> (8 * i)) & 0xFF for i in range(32)]


def wrap_ints(values, per_line=16):
    if not values:
        values = [0]  # C++ has no empty arrays; the slices never reach it
    out = []
    for i in range(0, len(values), per_line):
        out.append("    " + ", ".join(str(v) for v in values[i:i + per_line]) + ",")
    return "\n".join(out)


def c_comment(text):
    return text.replace("*/", "*\\/")


def write_cpp(rf, flat, src_name, header_include, path):
    name = rf.tables_name
    lines = [
        "// Generated by tools/lexgen.py from %s; do not edit." % src_name,
        "// Rules:",
    ]
    for number, (rname, _a, _t, text) in enumerate(rf.rules, 1):
        lines.append("//   %3d %-16s %s" % (number, rname, c_comment(text)))
    lines += ["#include \"%s\"" % header_include, "", "namespace {", ""]
    for key in ("yyk", "yym", "yykl", "yykh", "yyml", "yymh", "yytl", "yyth"):
        lines.append("const int16_t %s[] = {" % key)
        lines.append(wrap_ints(flat[key]))
        lines.append("};")
        lines.append("")
    lines.append("const TLexTransition yyt[] = {")
    trans = flat["yyt"] or [(0, 0)]
    for mask, target in trans:
        lines.append("    {{%s}, %d}," % (", ".join("0x%02x" % b for b in mask_bytes(mask)), target))
    lines.append("};")
    lines.append("")
    lines.append("}  // namespace")
    lines.append("")
    lines.append("extern const TLexTables %s = {" % name)
    lines.append("    %d, yyk, yym, yyt, yykl, yykh, yyml, yymh, yytl, yyth," % len(flat["yykl"]))
    lines.append("};")
    write_file(path, "\n".join(lines) + "\n")


def write_header(rf, src_name, path):
    lines = [
        "// Generated by tools/lexgen.py from %s; do not edit." % src_name,
        "#pragma once",
        "",
        "#include \"sql_engine/front/lex_runtime.h\"",
        "",
        "extern const TLexTables %s;" % rf.tables_name,
        "",
    ]
    if rf.enum_name:
        lines.append("enum %s : int32_t {" % rf.enum_name)
        for number, (rname, _a, _t, _text) in enumerate(rf.rules, 1):
            lines.append("  %s = %d," % (rname, number))
        lines.append("};")
    write_file(path, "\n".join(lines) + "\n")


def write_text(rf, flat, path):
    out = ["states %d" % len(flat["yykl"])]
    for key in ("yyk", "yym", "yykl", "yykh", "yyml", "yymh", "yytl", "yyth"):
        out.append("%s %d %s" % (key, len(flat[key]), " ".join(str(v) for v in flat[key])))
    out.append("yyt %d" % len(flat["yyt"]))
    for mask, target in flat["yyt"]:
        out.append("%s %d" % ("".join("%02x" % b for b in mask_bytes(mask)), target))
    out.append("rules %d %s" % (len(rf.rules), " ".join(r[0] for r in rf.rules)))
    write_file(path, "\n".join(out) + "\n")


def write_file(path, text):
    with open(path, "w", encoding="latin-1", newline="\n") as f:
        f.write(text)


def main(argv):
    ap = argparse.ArgumentParser(description="Build lexer DFA tables from a rule file.")
    ap.add_argument("rules")
    ap.add_argument("--cpp")
    ap.add_argument("--header")
    ap.add_argument("--header-include", help="include path of the generated header, as the .cpp writes it")
    ap.add_argument("--text")
    args = ap.parse_args(argv)
    try:
        rf = read_rules(args.rules)
        dfa = build_dfa(rf)
        check_dfa(dfa)
        flat = flatten(dfa)
    except (RuleError, OSError) as e:
        print("lexgen: %s" % e, file=sys.stderr)
        return 1
    src_name = args.rules.replace("\\", "/").split("/")[-1]
    if args.cpp:
        if not args.header_include:
            print("lexgen: --cpp needs --header-include", file=sys.stderr)
            return 1
        write_cpp(rf, flat, src_name, args.header_include, args.cpp)
    if args.header:
        write_header(rf, src_name, args.header)
    if args.text:
        write_text(rf, flat, args.text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
