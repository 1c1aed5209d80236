"""Text replies decode exactly as ast.literal_eval decodes them: the same value
of the same types, or a failure with the same exception type. The task runs
in raise mode, so a failure shows as ConnectionError caused by that exception."""
import ast
import math
import queue
import sys
import warnings

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import Vesk

Env = Vesk.Vesk_Pal_st


class One(Env):
    num_envs = 1


@pytest.fixture(scope="module")
def env():
    patch = pytest.MonkeyPatch()
    patch.setenv("VESK_ON_FAILURE", "raise")
    yield object.__new__(One)
    patch.undo()


def canon(value):
    """The value with every type spelled out: 1, 1.0 and True differ, so do
    0.0 and -0.0; sets and dicts keep what their items are."""
    kind = type(value).__name__
    if isinstance(value, (set, frozenset)):
        return kind, sorted(map(repr, map(canon, value)))
    if isinstance(value, (list, tuple)):
        return kind, [canon(item) for item in value]
    if isinstance(value, dict):
        return kind, [(canon(k), canon(v)) for k, v in value.items()]
    if isinstance(value, float):
        return kind, "nan" if math.isnan(value) else value.hex()
    if isinstance(value, complex):
        return kind, canon(value.real), canon(value.imag)
    return kind, value


def reference(text):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return "value", canon(ast.literal_eval(text))
    except Exception as error:  # the type is what must agree
        return "error", type(error).__name__


def decoded(env, text):
    while not Env.send_queue.empty():
        Env.send_queue.get_nowait()
    Env.reply_quene.put(text)
    try:
        return "value", canon(env.one_task("task"))
    except ConnectionError as error:
        return "error", type(error.__cause__).__name__


def agrees(env, text):
    assert decoded(env, text) == reference(text), text


EDGES = [
    "None", "True", "False", "...", "set()", "set ( )", "set(\n)", "set\n()", "set(1)", "frozenset()",
    "[]", "()", "{}", "( )", "(1)", "((1))", "(1,)", "1,", "1, 2", "1,,", "(,)", "[1,]", "[,]", "{1,}", "{1:2,}",
    "{1: 2, 3}", "{1, 2: 3}", "{**{}}", "{*()}", "[*()]",
    "{1: 'a', 1: 'b'}", "{1: 'a', True: 'b', 1.0: 'c'}", "{1, True, 1.0}", "{[]}", "{[]: 1}", "{(1, [2])}",
    "{'a': [1, {2: (3,)}]}", "{1: {}}", "{(): ()}",
    "-0.0", "0.0", "-0", "+1", "--1", "-+1", "- 1", "-(1)", "-((1))", "-(-1)", "-(1,)", "-True", "-'a'", "-None",
    "1e999", "-1e999", "1e-999", "1.e5", ".5", "5.", "09.5", "00", "0_0", "007", "0_1", "1__0", "1_", "1_000",
    "0x_f", "0XFF", "0o17", "0o8", "0b101", "0b2", "0b", "0x", "1e", "1e+", "1E-3", "1._5", "1..", "1.__class__",
    "1j", "1J", "-1j", "+1j", "1_0j", "1e5j", "1.5j", "1+2j", "1-2j", "-1+2j", "(-1)+2j", "(1)+(2j)", "1.5-0j",
    "1j+1", "1j+1j", "1+2", "1+2j+3", "1 - -2j", "1+(-2j)", "-(1+2j)", "True+1j", "1+2j,", "[1+2j, -3-4j]",
    "1" * 4300, "1" * 4301, "-" + "9" * 4300, "0x" + "f" * 5000, "1if 1 else 2", "0x1for", "1 if 1 else 2",
    "'a'", '"a"', "'a' 'b'", "'a'\n'b'", "('a'\n'b')", "['a'\n'b']", "b'a' 'b'", "'a' b'b'", "b'a' b'b'",
    "u'x'", "U'x'", "r'\\d'", "R'\\n'", "rb'\\x'", "bR'\\x'", "Br'x'", "ub'x'", "ur'x'", "bb'x'", "f'x'", "f'{1}'",
    "rf'x'", "set'x'", "'''a\nb'''", '"""a\r\nb"""', "'a\\\nb'", "'a\nb'", "'a\rb'", "'\\n\\t\\r\\\\\\'\\\"'",
    "'\\x41\\u00e9\\U0001F600'", "'\\x4'", "'\\u12'", "'\\U00110000'", "'\\N{BULLET}'", "'\\N{NO SUCH}'",
    "'\\777'", "'\\0'", "'\\d'", "b'\\d'", "b'\\u1234'", "b'\\x41\\n'", "b'é'", "'é\\n'", "'é'", "'\\xe9é'",
    "'\ud800'", "'a\x00'", "[1, 2, \ud800]", "\x00", "",
    " 1", "\t1", " \t [1]", "\n1", "\r1", "\f1", "1\n", "1\r\n", "1\n\n", "1\n \n", "1 \n\n  ", "1 ", "1 \f", "1\\\n",
    "1;", "1\n#x", "[1, # c\n 2]", "[1,\\\n 2]", "[\n1,\n2\n]", "(\r\n1\r\n)", "[1\f]", "{\n'a'\n:\n1\n}",
    "x", "print(1)", "__import__('os')", "lambda: 1", "[x for x in ()]", "1 < 2", "not 1", "a.b", "None()",
    "Nöne", "ｓｅｔ()", "true", "null", "[true, null]", '{"a": true, "b": [1, null]}', "set", "[set, 1]", "set(x)",
    "__peg_parser__", "match", "_", "{[]: x}", "{[], x}", "{x: []}", "[x, {[]}]", "[{[]}, x]", "[x, lambda: 1]",
    "[x, 1 2]", "[x, 'a' b'b']", "(x, ) + 1j", "-x", "x + 1j", "1 + x", "x\n1", "x,\ny", "[1] + [2]", "(1)(2)", "[1][0]", "{1: 2}[1]", "...(...)", "....",
    "[" * 200 + "]" * 200, "[" * 201 + "]" * 201, "(" * 200 + "1" + ")" * 200, "(" * 200 + "-1+2j" + ")" * 200,
    "{1:" * 200 + "1" + "}" * 200, "[" * 199 + "set()" + "]" * 199, "[" * 200 + "set()" + "]" * 200,
    "[" * 1000 + "]" * 1000, "[1, 2", "[", "[[]", "{'a': ", "{'a'", "{1, ", "(1,", "set(", "'abc", "'''abc", "[x, ",
    "[{[]}, ", "['a\\", "[1e", "[0x", "-", "1 +", "[1, 2 ", "[1 2]", "(1 2)", "{1 2}", "]", "[)", "'", "'abc",
]


@pytest.mark.parametrize("text", EDGES)
def test_edge_cases_agree_with_literal_eval(env, text):
    agrees(env, text)


def test_non_str_reply_is_handed_to_literal_eval(env):
    class Text(str):
        def lstrip(self, chars=None):
            return "[1]"

    assert decoded(env, Text("[2]")) == reference("[1]" if sys.version_info >= (3, 10) else "[2]")


scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(min_value=-(10**60), max_value=10**60),
    st.floats(allow_nan=False), st.complex_numbers(allow_nan=False), st.text(), st.binary(), st.just(...),
)
values = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4), st.lists(inner, max_size=4).map(tuple),
        st.dictionaries(st.one_of(st.integers(), st.text(max_size=3), st.booleans()), inner, max_size=4),
        st.sets(st.one_of(st.integers(), st.text(max_size=3), st.floats(allow_nan=False)), max_size=4),
    ),
    max_leaves=12,
)
blanks = st.sampled_from(["", " ", "\n", "\t", "  ", "\r\n", " \n\t"])


@st.composite
def spelled(draw, value):
    """A text for `value` with the blanks, trailing commas and quotes drawn."""
    def gap():
        return draw(blanks)

    def spell(item):
        if isinstance(item, (list, tuple, set, dict)) and not (isinstance(item, set) and not item):
            opening, closing = {list: "[]", tuple: "()", set: "{}", dict: "{}"}[type(item)]
            parts = ([gap() + spell(k) + gap() + ":" + gap() + spell(v) for k, v in item.items()]
                     if isinstance(item, dict) else [gap() + spell(element) for element in item])
            trailing = "," if (isinstance(item, tuple) and len(item) == 1) or (parts and draw(st.booleans())) else ""
            return opening + ",".join(parts) + trailing + gap() + closing
        if isinstance(item, set):
            return "set(" + gap() + ")"
        if isinstance(item, str) and draw(st.booleans()):
            return draw(st.sampled_from(["", "u", "U"])) + repr(item)
        if isinstance(item, (int, float)) and not isinstance(item, bool) and draw(st.booleans()):
            return "(" + repr(item) + ")"
        return repr(item)

    return spell(value)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data(), value=values)
def test_spelled_values_decode_as_literal_eval_decodes_them(env, data, value):
    agrees(env, data.draw(spelled(value)))


fragments = st.sampled_from([
    "[", "]", "(", ")", "{", "}", ",", ":", " ", "\n", "\t", "-", "+", ".", "e", "j", "_", "0", "1", "9", "x",
    "'a'", '"b"', "b'c'", "r'\\d'", "'\\n'", "'''t'''", "None", "True", "set", "set()", "...", "#", "\\", "é",
    "1.5", "2j", "0x1f", "1_0", "\f", "\r", "true", "null", "x", "if", "not", "print", "[]", "{}",
])


@settings(max_examples=600, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(text=st.lists(fragments, max_size=14).map("".join))
def test_fragment_soup_fails_or_decodes_as_literal_eval_does(env, text):
    agrees(env, text)


@pytest.mark.parametrize("item, joined", [
    ("0.5", ("[", "]")),        # many floats
    ("100000", ("{", "}")),     # a set: hashing and its table
    ("'" + "x" * 4000 + "'", ("[", "]")),  # long strings
], ids=["floats", "set", "strings"])
def test_a_large_text_reply_costs_a_small_multiple_of_its_size(env, item, joined):
    import tracemalloc
    count = (1 << 20) // (len(item) + 2)
    items = [item] if joined == ("{", "}") else [item] * count
    if joined == ("{", "}"):  # distinct members, or the set stays small
        items = [str(100000 + i) for i in range(count)]
    text = joined[0] + ", ".join(items) + joined[1]
    while not Env.send_queue.empty():
        Env.send_queue.get_nowait()
    Env.reply_quene.put(text)
    tracemalloc.start()
    try:
        value = env.one_task("task")
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert len(value) == count
    # The parser's tree took 150 to 530 times the text; the decoded value
    # itself is most of what remains.
    assert peak < 10 * len(text), (peak, len(text))
