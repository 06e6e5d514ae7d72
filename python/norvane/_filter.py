"""Filter expressions of the local store: the Milvus boolean expressions
docs/search.md documents, as SQL over the stored rows.

    id == "a"    id in ["a", "b"]    text like "北京%"
    meta["year"] >= 2024    meta["lang"] != "zh"    meta["a"]["b"] in [1, 2]
    exists meta["tag"]    not (...)    ... and ...    ... or ...

Operators: ``== != < <= > >=``, ``in`` and ``not in`` with a list,
``like`` with ``%`` as the wildcard, ``exists``; ``and``/``&&``,
``or``/``||``, ``not``/``!``, parentheses. Literals: strings in double or
single quotes, integers, decimals, ``true`` and ``false``. A metadata value
compares only with a literal of its own JSON type (a number with a number, a
string with a string, a boolean with a boolean); a missing key compares
false, as in Milvus. Anything else is refused with a ValueError naming the
place.
"""

from __future__ import annotations

import json
import re
from typing import Any, List, Tuple

_TOKEN = re.compile(r"""
    \s*(?:
      (?P<number>-?(?:\d+\.\d*|\.\d+|\d+)(?:[eE][-+]?\d+)?)
    | (?P<string>"(?:[^"\\]|\\.)*"|'(?:[^'\\]|\\.)*')
    | (?P<op>==|!=|<=|>=|<|>|&&|\|\||!|\(|\)|\[|\]|,)
    | (?P<word>[A-Za-z_][A-Za-z0-9_]*)
    )""", re.VERBOSE)

_KEYWORDS = {"and", "or", "not", "in", "like", "exists", "true", "false", "True", "False"}
_COMPARISONS = {"==": "=", "!=": "!=", "<": "<", "<=": "<=", ">": ">", ">=": ">="}
_SUPPORTED = ('supported: id, text and meta["key"] compared (== != < <= > >=) with a '
              'literal, in/not in [...], like "...%", exists meta["key"], and/or/not and '
              'parentheses; other Milvus expressions need a Milvus backend')


class _Parser:
    def __init__(self, expression: str) -> None:
        self.expression = expression
        self.tokens: List[Tuple[str, str, int]] = []
        at = 0
        while at < len(expression):
            if expression[at:].strip() == "":
                break
            found = _TOKEN.match(expression, at)
            if found is None or found.end() == at:
                self.fail(at, "unexpected character")
            assert found is not None
            kind = found.lastgroup or ""
            self.tokens.append((kind, found.group(kind), found.start(kind)))
            at = found.end()
        self.at = 0
        self.params: List[Any] = []

    def fail(self, position: int, what: str) -> None:
        raise ValueError(f"filter {self.expression!r}: {what} at column {position + 1} "
                         f"({_SUPPORTED})")

    def peek(self) -> Tuple[str, str, int]:
        if self.at < len(self.tokens):
            return self.tokens[self.at]
        return ("end", "", len(self.expression))

    def take(self, *values: str) -> bool:
        kind, value, _ = self.peek()
        if kind in ("op", "word") and value in values:
            self.at += 1
            return True
        return False

    def expect(self, value: str) -> None:
        if not self.take(value):
            self.fail(self.peek()[2], f"{value!r} expected")

    def parse(self) -> str:
        sql = self.disjunction()
        if self.peek()[0] != "end":
            self.fail(self.peek()[2], "unexpected " + repr(self.peek()[1]))
        return sql

    def disjunction(self) -> str:
        parts = [self.conjunction()]
        while self.take("or", "||"):
            parts.append(self.conjunction())
        return parts[0] if len(parts) == 1 else "(" + " OR ".join(parts) + ")"

    def conjunction(self) -> str:
        parts = [self.negation()]
        while self.take("and", "&&"):
            parts.append(self.negation())
        return parts[0] if len(parts) == 1 else "(" + " AND ".join(parts) + ")"

    def negation(self) -> str:
        if self.take("not", "!"):
            return f"(NOT coalesce({self.negation()}, 0))"
        if self.take("("):
            inner = self.disjunction()
            self.expect(")")
            return inner
        if self.take("exists"):
            field = self.field()
            if field[0] != "meta":
                self.fail(self.peek()[2], "exists takes a meta[...] key")
            return f"(json_type(meta, {self.param(field[1])}) IS NOT NULL)"
        return self.comparison()

    def field(self) -> Tuple[str, str]:
        """('id' | 'text', '') or ('meta', JSON path)."""
        kind, value, position = self.peek()
        if kind != "word" or value not in ("id", "text", "meta"):
            self.fail(position, "a field (id, text or meta[...]) expected")
        self.at += 1
        if value != "meta":
            return value, ""
        path = "$"
        while self.take("["):
            kind, key, position = self.peek()
            if kind != "string":
                self.fail(position, "a quoted key expected in meta[...]")
            self.at += 1
            path += "." + json.dumps(_string(key), ensure_ascii=False)
            self.expect("]")
        if path == "$":
            self.fail(position, 'meta needs a key: meta["name"]')
        return "meta", path

    def literal(self) -> Any:
        kind, value, position = self.peek()
        self.at += 1
        if kind == "string":
            return _string(value)
        if kind == "number":
            return float(value) if any(c in value for c in ".eE") else int(value)
        if kind == "word" and value in ("true", "True"):
            return True
        if kind == "word" and value in ("false", "False"):
            return False
        self.at -= 1
        self.fail(position, "a literal (string, number, true or false) expected")

    def param(self, value: Any) -> str:
        self.params.append(value)
        return "?"

    def typed(self, field: Tuple[str, str], op: str, value: Any) -> str:
        """SQL comparing a field with one literal, false across JSON types."""
        name, path = field
        if name != "meta":
            if not isinstance(value, str):
                self.fail(self.peek()[2], f"{name} is a string: compare it with a string")
            return f"({name} {op} {self.param(value)})"
        kind = self.param(path)
        extract = f"json_extract(meta, {self.param(path)})"
        if isinstance(value, bool):
            return (f"(json_type(meta, {kind}) IN ('true', 'false') AND "
                    f"{extract} {op} {self.param(int(value))})")
        if isinstance(value, str):
            return f"(json_type(meta, {kind}) = 'text' AND {extract} {op} {self.param(value)})"
        return (f"(json_type(meta, {kind}) IN ('integer', 'real') AND "
                f"{extract} {op} {self.param(value)})")

    def comparison(self) -> str:
        kind, _, position = self.peek()
        if kind in ("string", "number") or self.peek()[1] in ("true", "false", "True", "False"):
            value = self.literal()  # literal op field: turned around
            op = self.peek()[1]
            if op not in _COMPARISONS:
                self.fail(self.peek()[2], "a comparison operator expected")
            self.at += 1
            field = self.field()
            flipped = {"<": ">", "<=": ">=", ">": "<", ">=": "<="}.get(op, op)
            if op == "!=":
                return f"(NOT coalesce({self.typed(field, '=', value)}, 0))"
            return self.typed(field, _COMPARISONS[flipped], value)
        field = self.field()
        kind, op, position = self.peek()
        if op in _COMPARISONS and kind == "op":
            self.at += 1
            if op == "!=":  # Milvus: what == does not select, a missing key included
                return f"(NOT coalesce({self.typed(field, '=', self.literal())}, 0))"
            return self.typed(field, _COMPARISONS[op], self.literal())
        negated = self.take("not")
        if self.take("in"):
            self.expect("[")
            values = []
            while not self.take("]"):
                values.append(self.literal())
                if not self.take(","):
                    self.expect("]")
                    break
            if not values:
                return "(1 = 1)" if negated else "(1 = 0)"
            sql = "(" + " OR ".join(self.typed(field, "=", v) for v in values) + ")"
            return f"(NOT coalesce({sql}, 0))" if negated else sql
        if negated:
            self.fail(position, "'in' expected after 'not'")
        if self.take("like"):
            pattern = self.literal()
            if not isinstance(pattern, str):
                self.fail(position, "like takes a string")
            # Milvus' % wildcard as a GLOB pattern (case-sensitive, as Milvus).
            glob = re.sub(r"[\[\]*?]", lambda m: "[" + m.group(0) + "]", pattern).replace("%", "*")
            if field[0] == "meta":
                kind_param = self.param(field[1])
                return (f"(json_type(meta, {kind_param}) = 'text' AND "
                        f"json_extract(meta, {self.param(field[1])}) GLOB {self.param(glob)})")
            return f"({field[0]} GLOB {self.param(glob)})"
        self.fail(position, "an operator expected")
        return ""


def _string(token: str) -> str:
    body = token[1:-1]
    if token[0] == "'":
        body = body.replace('\\"', '"').replace("\\'", "'").replace('"', '\\"')
    try:
        value = json.loads('"' + body + '"')
    except ValueError:
        raise ValueError(f"filter string {token} is not a valid string literal") from None
    return str(value)


def to_sql(expression: str) -> Tuple[str, List[Any]]:
    """The SQL condition over the columns id, text and meta (JSON text) that
    selects what the expression selects, and its parameters."""
    parser = _Parser(expression)
    if not parser.tokens:
        return "1", []
    return parser.parse(), parser.params
