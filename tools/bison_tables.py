#!/usr/bin/env python3
"""Turns bison's XML report of an LALR(1) automaton into the eight parse
tables that the table-driven parser runtime reads (sql_engine/front/parse_runtime.h).

Usage:
    bison -Dlr.default-reduction=consistent --xml=grammar.xml -o /dev/null grammar.y
    bison_tables.py grammar.xml output.cpp --name KpyaccTables [--expect-states N]
                    [--rules-header rules.h --rules-namespace sql_grammar]

Table layout (all int16):
  YYA   pairs (symbol, action) per state slice; symbol = token number
        (0 end of input, 256 error); action > 0 shift to that state,
        < 0 reduce by rule -action, 0 accept.
  YYG   pairs (nonterminal, state); nonterminals are numbered -1..-N in the
        order bison lists them (its start symbol $accept left out).
  YYD   per state: -rule of its default reduction, or 0.
  YYAL, YYAH, YYGL, YYGH   per state: 1-based first and last entry of its
        slice of YYA / YYG (empty when last < first).
  YYR   pairs (right-hand-side length, nonterminal) per rule, rule 1 first;
        bison's rule 0 ($accept: start $end) is dropped.

A state gets a default reduction only when it shifts no terminal and has a
single reduction; every other reduction is listed per lookahead, so the
runtime reads a lookahead first.  The shift on end of input into bison's
accept state becomes the accept action.  Reductions that bison disabled
are skipped.

With --rules-header it also writes a header that names the productions for
the semantic actions: their texts by rule number ("lhs: sym sym", or
"lhs: %empty") and a consteval Rule(text) that gives the number of the
production written so, and Token(name) the token number of a terminal.  The
actions switch on Rule("...") instead of bare numbers: a production moved in
the grammar moves its number with it, and a text that no longer names a
production (one changed or removed) stops the build.

The script checks what it wrote: symbols are unique inside every slice,
every value fits in int16, and after every reduction the goto on its
left-hand side exists in every state the parser can be in after popping
the right-hand side.  Any failure ends the script with an error, so a broken
grammar never reaches the build.
"""

import argparse
import sys
import xml.etree.ElementTree as ET


class TableError(Exception):
    pass


def load(path):
    root = ET.parse(path).getroot()
    grammar = root.find("grammar")
    terminals = {}
    for t in grammar.find("terminals"):
        terminals[t.get("name")] = int(t.get("token-number"))
    nonterminals = {}
    index = 0
    for n in grammar.find("nonterminals"):
        name = n.get("name")
        if name == "$accept":
            continue
        index += 1
        nonterminals[name] = -index
    rules = {}
    for r in grammar.find("rules"):
        number = int(r.get("number"))
        lhs = r.find("lhs").text
        rhs = [s.text for s in r.find("rhs").findall("symbol")]
        if number in rules:
            raise TableError("rule %d twice in the report" % number)
        rules[number] = (lhs, rhs)
    if sorted(rules) != list(range(len(rules))):
        raise TableError("rules are not numbered 0..%d" % (len(rules) - 1))
    states = []
    for s in root.find("automaton"):
        number = int(s.get("number"))
        if number != len(states):
            raise TableError("states are not numbered in order at %d" % number)
        actions = s.find("actions")
        transitions = [(t.get("type"), t.get("symbol"), int(t.get("state")))
                       for t in actions.find("transitions")]
        reductions = [(r.get("symbol"), r.get("rule"), r.get("enabled") == "true")
                      for r in actions.find("reductions")]
        states.append((transitions, reductions))
    return terminals, nonterminals, rules, states


def build(terminals, nonterminals, rules, states):
    accept_states = {i for i, (_, reds) in enumerate(states)
                     if any(rule == "accept" for _, rule, _ in reds)}
    if len(accept_states) != 1:
        raise TableError("expected one accept state, found %d" % len(accept_states))
    yya, yyg, yyd, yyal, yyah, yygl, yygh = [], [], [], [], [], [], []
    reduce_by_state = []  # (state, rule) pairs for the goto check
    for number, (transitions, reductions) in enumerate(states):
        shifts, gotos = [], []
        for kind, symbol, target in transitions:
            if kind == "shift":
                if symbol not in terminals:
                    raise TableError("state %d shifts unknown terminal %s" % (number, symbol))
                token = terminals[symbol]
                if token == 0 and target in accept_states:
                    shifts.append((0, 0))
                else:
                    shifts.append((token, target))
            elif kind == "goto":
                if symbol not in nonterminals:
                    raise TableError("state %d goes to unknown nonterminal %s" % (number, symbol))
                gotos.append((nonterminals[symbol], target))
            else:
                raise TableError("state %d: unknown transition type %s" % (number, kind))
        reds = []
        default_rule = None
        for symbol, rule, enabled in reductions:
            if rule == "accept" or not enabled:
                continue
            rule = int(rule)
            if rule == 0 or rule not in rules:
                raise TableError("state %d reduces by unknown rule %s" % (number, rule))
            if symbol == "$default":
                default_rule = rule
            else:
                if symbol not in terminals:
                    raise TableError("state %d reduces on unknown terminal %s" % (number, symbol))
                reds.append((terminals[symbol], rule))
        distinct = {r for _, r in reds} | ({default_rule} if default_rule else set())
        for rule in distinct:
            reduce_by_state.append((number, rule))
        yyd_value = 0
        if default_rule is not None:
            if shifts or len(distinct) != 1:
                # Only consistent states may reduce without a lookahead; bison
                # run with lr.default-reduction=consistent never asks otherwise.
                raise TableError("state %d: default reduction beside other actions "
                                 "(run bison with -Dlr.default-reduction=consistent)" % number)
            yyd_value = -default_rule
        elif not shifts and len(distinct) == 1:
            yyd_value = -next(iter(distinct))
            reds = []
        yyd.append(yyd_value)

        actions = shifts + [(tok, -rule) for tok, rule in reds]
        seen = set()
        for sym, _ in actions:
            if sym in seen:
                raise TableError("state %d: symbol %d twice in its action slice" % (number, sym))
            seen.add(sym)
        yyal.append(len(yya) + 1)
        yya.extend(actions)
        yyah.append(len(yya))

        seen = set()
        for sym, _ in gotos:
            if sym in seen:
                raise TableError("state %d: nonterminal %d twice in its goto slice" % (number, sym))
            seen.add(sym)
        yygl.append(len(yyg) + 1)
        yyg.extend(gotos)
        yygh.append(len(yyg))

    yyr = []
    for number in range(1, len(rules)):
        lhs, rhs = rules[number]
        yyr.append((len(rhs), nonterminals[lhs]))

    check_gotos(states, terminals, nonterminals, rules, reduce_by_state, yyg, yygl, yygh)
    return yya, yyg, yyd, yyal, yyah, yygl, yygh, yyr


def check_gotos(states, terminals, nonterminals, rules, reduce_by_state, yyg, yygl, yygh):
    """After a reduction by rule r in state t, any state s from which t is
    reached over len(rhs) transitions may be on top; s needs a goto on r's
    left-hand side."""
    preds = [set() for _ in states]
    for number, (transitions, _) in enumerate(states):
        for _, _, target in transitions:
            preds[target].add(number)
    for state, rule in reduce_by_state:
        lhs, rhs = rules[rule]
        frontier = {state}
        for _ in rhs:
            frontier = set().union(*(preds[s] for s in frontier)) if frontier else set()
        if not frontier:
            raise TableError("rule %d reduced in state %d cannot be reached" % (rule, state))
        nt = nonterminals[lhs]
        for s in frontier:
            lo, hi = yygl[s], yygh[s]
            if not any(yyg[i - 1][0] == nt for i in range(lo, hi + 1)):
                raise TableError("no goto on %s from state %d after rule %d in state %d"
                                 % (lhs, s, rule, state))


def flat(pairs):
    return [v for p in pairs for v in p]


def emit(out, name, tables, source):
    yya, yyg, yyd, yyal, yyah, yygl, yygh, yyr = tables
    arrays = [("YYA", flat(yya)), ("YYG", flat(yyg)), ("YYD", yyd), ("YYAL", yyal),
              ("YYAH", yyah), ("YYGL", yygl), ("YYGH", yygh), ("YYR", flat(yyr))]
    for label, values in arrays:
        for v in values:
            if not -32768 <= v <= 32767:
                raise TableError("%s holds %d, beyond 16 bits" % (label, v))
    lines = []
    lines.append("// Generated by tools/bison_tables.py from %s; do not edit." % source)
    lines.append('#include "sql_engine/front/parse_runtime.h"')
    lines.append("")
    lines.append("namespace {")
    for label, values in arrays:
        lines.append("const int16_t k%s[] = {" % label)
        for i in range(0, len(values), 16):
            lines.append("  " + ", ".join(str(v) for v in values[i:i + 16]) + ",")
        if not values:
            lines.append("  0,")
        lines.append("};")
    lines.append("}  // namespace")
    lines.append("")
    lines.append("const TParseTables& %s() {" % name)
    lines.append("  static const TParseTables tables{kYYA, %d, kYYG, %d, kYYD, kYYAL, kYYAH,"
                 % (len(yya), len(yyg)))
    lines.append("                                   kYYGL, kYYGH, %d, kYYR, %d};"
                 % (len(yyd), len(yyr)))
    lines.append("  return tables;")
    lines.append("}")
    with open(out, "w", encoding="ascii") as f:
        f.write("\n".join(lines) + "\n")


def rule_text(lhs, rhs):
    return "%s: %s" % (lhs, " ".join(rhs) if rhs else "%empty")


def emit_rules(out, namespace, terminals, rules, source):
    texts = [rule_text(*rules[n]) for n in range(len(rules))]
    if len(set(texts)) != len(texts):
        raise TableError("two productions read alike")
    for t in texts + list(terminals):
        if '"' in t or "\\" in t:
            raise TableError("a production or terminal cannot be quoted: %s" % t)
    lines = []
    lines.append("// Generated by tools/bison_tables.py from %s; do not edit." % source)
    lines.append("//")
    lines.append("// The productions of the grammar by rule number, for the semantic actions:")
    lines.append("// they switch on Rule(\"lhs: symbols\"), so a production moved in the")
    lines.append("// grammar keeps its action, and a text that names no production (one changed")
    lines.append("// or removed) is not a constant and stops the build.")
    lines.append("#pragma once")
    lines.append("")
    lines.append("#include <cstdint>")
    lines.append("#include <string_view>")
    lines.append("")
    lines.append("namespace %s {" % namespace)
    lines.append("")
    lines.append("// Entry 0 is the generator's own start rule.")
    lines.append("inline constexpr std::string_view kRuleTexts[] = {")
    for n, t in enumerate(texts):
        lines.append('    "%s",  // %d' % (t, n))
    lines.append("};")
    lines.append("inline constexpr int32_t kRuleCount = %d;" % (len(texts) - 1))
    lines.append("")
    lines.append("struct TTerminal {")
    lines.append("  std::string_view Name;")
    lines.append("  int32_t Token;")
    lines.append("};")
    lines.append("inline constexpr TTerminal kTerminals[] = {")
    for name, number in terminals.items():
        lines.append('    {"%s", %d},' % (name, number))
    lines.append("};")
    lines.append("")
    lines.append("// The number of the production written `text`.")
    lines.append("consteval int32_t Rule(std::string_view text) {")
    lines.append("  for (int32_t i = 1; i <= kRuleCount; ++i)")
    lines.append("    if (kRuleTexts[i] == text) return i;")
    lines.append('  throw "no production of the grammar reads so";')
    lines.append("}")
    lines.append("")
    lines.append("// The token number the grammar gives the terminal `name`.")
    lines.append("consteval int32_t Token(std::string_view name) {")
    lines.append("  for (const TTerminal& t : kTerminals)")
    lines.append("    if (t.Name == name) return t.Token;")
    lines.append('  throw "no terminal of the grammar has this name";')
    lines.append("}")
    lines.append("")
    lines.append("}  // namespace %s" % namespace)
    with open(out, "w", encoding="ascii") as f:
        f.write("\n".join(lines) + "\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("xml")
    ap.add_argument("output")
    ap.add_argument("--name", required=True, help="name of the C++ function returning the tables")
    ap.add_argument("--expect-states", type=int, default=None)
    ap.add_argument("--expect-rules", type=int, default=None)
    ap.add_argument("--rules-header", default=None, help="header naming the productions")
    ap.add_argument("--rules-namespace", default="grammar", help="namespace of that header")
    args = ap.parse_args()
    try:
        terminals, nonterminals, rules, states = load(args.xml)
        if args.expect_states is not None and len(states) != args.expect_states:
            raise TableError("%d states, expected %d" % (len(states), args.expect_states))
        if args.expect_rules is not None and len(rules) - 1 != args.expect_rules:
            raise TableError("%d rules, expected %d" % (len(rules) - 1, args.expect_rules))
        tables = build(terminals, nonterminals, rules, states)
        source = args.xml.rsplit("/", 1)[-1]
        emit(args.output, args.name, tables, source)
        if args.rules_header:
            emit_rules(args.rules_header, args.rules_namespace, terminals, rules, source)
    except (TableError, ET.ParseError, OSError) as e:
        sys.stderr.write("bison_tables.py: %s\n" % e)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
