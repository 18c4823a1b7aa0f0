"""The recovering parser seen through its events: every recovery with its exact diagnostic, and
the ordering guarantees on messy and hostile input."""

import random

import pytest

from conftest import check_order, events, structure, tessrin_core


def E(message, line, column, context, recovery):
    return ("on_error", ("syntactic", message, line, column, context, recovery))


def V(text, kind="STRING"):
    return ("add_value", text, kind)


def T(tag):
    return ("add_tag", tag)


def B(name):
    return ("on_data_block", name)


def K(key, kind="SINGLE_QUOTED"):
    return ("on_table_key", key, kind)


Q = V("?", "PLACEHOLDER")
ERR = T("_tessrin_error_value")
SFS = "on_save_frame_start"
SFE = ("on_save_frame_end",)
LE = ("on_loop_end",)
LS_, LE_, TS, TE = ("on_list_start",), ("on_list_end",), ("on_table_start",), ("on_table_end",)


def LOOP(*tags):
    return ("on_loop_start", list(tags))


def NOTAG(value, line, column):
    return E(f'value "{value}" has no preceding tag', line, column, value,
             "attached to _tessrin_error_value")  # fmt: skip


def NOVALUE(tag, reason, line, column, context):
    return E(f'tag "{tag}" has no value ({reason})', line, column, context,
             "inserted ? placeholder")  # fmt: skip


def EMPTY_LOOP(tags, line, column, context):
    return E(f"loop has tags {tags} but no values", line, column, context, "loop emitted empty")


def HALT(line, column, context):
    return E("global_ is reserved and not permitted in CIF", line, column, context,
             "parsing halted")  # fmt: skip


def IMPLICIT(what, reason, line, column, context):
    return E(f"implicitly closed unclosed {what} ({reason})", line, column, context,
             f"emitted on_{what}_end")  # fmt: skip


def AT_EOF(what, line, column):
    return E(f"unterminated {what} at EOF", line, column, "", f"emitted on_{what}_end")


def IN_LOOP(reason, line, column, context):
    return E(f"unterminated container(s) in loop value ({reason})", line, column, context,
             "containers implicitly closed")  # fmt: skip


# --- blocks, frames, tags and loops ---------------------------------------------------------

BLOCKS = [
    ("data_", [E("data block with empty name", 1, 1, "data_", "using empty string"), B("")]),
    ("DATA_Foo", [B("Foo")]),
    ("data_x\n_a\n_b 1",
     [B("x"), T("_a"), NOVALUE("_a", 'new tag "_b"', 3, 1, "_b"), Q, T("_b"), V("1")]),
    ("data_x\n_a\ndata_y",
     [B("x"), T("_a"), NOVALUE("_a", "terminated by data_y", 3, 1, "data_y"), Q, B("y")]),
    ("data_x\n_a\nLOOP_ _b 1",
     [B("x"), T("_a"), NOVALUE("_a", "terminated by loop_", 3, 1, "LOOP_"), Q, LOOP("_b"), V("1"),
      LE]),
    ("data_x\nsave_f\n_a\nSave_",
     [B("x"), (SFS, "f"), T("_a"), NOVALUE("_a", "terminated by Save_", 4, 1, "Save_"), Q, SFE]),
    ("data_x\n_a",
     [B("x"), T("_a"), E('tag "_a" has no value at EOF', 2, 1, "_a", "inserted ? placeholder"), Q]),
    ("data_x\n_a\nstop_ 1",
     [B("x"), T("_a"), E("stop_ outside loop", 3, 1, "stop_", "ignored"), V("1")]),
    ("1 '2'", [NOTAG("1", 1, 1), ERR, V("1"), NOTAG("2", 1, 3), ERR, V("2", "SINGLE_QUOTED")]),
    ("_a 1", [E('tag "_a" outside data block', 1, 1, "_a", "continuing"), T("_a"), V("1")]),
    ("loop_ _a 1",
     [E("loop_ outside data block", 1, 1, "loop_", "continuing"), LOOP("_a"), V("1"), LE]),
    ("save_f",
     [E("save frame outside data block", 1, 1, "save_f", "continuing"), (SFS, "f"),
      E("unterminated save frame at EOF", 1, 1, "", "emitted on_save_frame_end"), SFE]),
    ("data_x\nsave_a\nsave_b\nsave_",
     [B("x"), (SFS, "a"),
      E("nested save frame", 3, 1, "save_b", "implicitly closed previous save frame"), SFE,
      (SFS, "b"), SFE]),
    ("data_x\nsave_",
     [B("x"), E("save_ (frame close) outside save frame", 2, 1, "save_", "ignored")]),
    ("data_x\nsave_f _a 1\ndata_y", [B("x"), (SFS, "f"), T("_a"), V("1"), SFE, B("y")]),
    ("data_x\nloop_ 1",
     [B("x"), E("loop_ with no tags \u2014 loop skipped", 2, 1, "loop_", "loop ignored"),
      NOTAG("1", 2, 7), ERR, V("1")]),
    ("data_x\nloop_ _a _b\ndata_y",
     [B("x"), LOOP("_a", "_b"), EMPTY_LOOP('["_a", "_b"]', 3, 1, "data_y"), LE, B("y")]),
    ("data_x\nloop_ _a _b\n_c 1", [B("x"), LOOP("_a", "_b", "_c"), V("1"), LE]),
    ("data_x\nloop_ _a stop_", [B("x"), LOOP("_a"), EMPTY_LOOP('["_a"]', 2, 10, "stop_"), LE]),
    # Gathered header tags do not move the position used at the end of input.
    ("data_x\nloop_\n_a", [B("x"), LOOP("_a"), EMPTY_LOOP('["_a"]', 2, 1, "EOF"), LE]),
    ("data_x\nLoop_ _a 1\n_b 2", [B("x"), LOOP("_a"), V("1"), LE, T("_b"), V("2")]),
    ("data_x\nloop_ _a 1 STOP_ 2",
     [B("x"), LOOP("_a"), V("1"), LE, NOTAG("2", 2, 18), ERR, V("2")]),
    ("data_x\nloop_ _a 1 2 3", [B("x"), LOOP("_a"), V("1"), V("2"), V("3"), LE]),
    ("data_x\nsave_f\n_a\nGlobal_ _b 'open",
     [B("x"), (SFS, "f"), T("_a"), NOVALUE("_a", "global_", 4, 1, "Global_"), Q, SFE,
      HALT(4, 1, "Global_")]),
    ("data_x\nloop_ _a\nglobal_ save_f",
     [B("x"), LOOP("_a"), EMPTY_LOOP('["_a"]', 3, 1, "global_"), LE, HALT(3, 1, "global_")]),
    ("global_ _a", [HALT(1, 1, "global_")]),
]  # fmt: skip


@pytest.mark.parametrize(("source", "expected"), BLOCKS)
def test_blocks_frames_tags_and_loops(source, expected):
    assert events(source) == expected


# --- lists, tables and implicit closing (CIF 2.0) ----------------------------------------

C2 = "#\\#CIF_2.0\ndata_x\n"
SPACED = "whitespace between table key {} and : separator"
UNQUOTED = "table key must be a quoted string, got unquoted: "
MISSING = "table key {} missing : separator"
KEY_AT_CLOSE = "emitted on_table_key; inserted ? placeholder"
NOT_FOLLOWED = "table key {} not followed by : separator"
AS_VALUE = "emitted on_table_key; treating current token as value"

CONTAINERS = [
    ("[1] 2",
     [E("container without preceding tag", 3, 1, "[", "attached to _tessrin_error_value"), ERR,
      LS_, V("1"), LE_, NOTAG("2", 3, 5), ERR, V("2")]),
    ("_a [1", [T("_a"), LS_, V("1"), LE_, AT_EOF("list", 3, 5)]),
    ("_a [:] _b 'x':",
     [T("_a"), LS_, V(":"), LE_, T("_b"), V("x", "SINGLE_QUOTED"), NOTAG(":", 3, 14), ERR,
      V(":")]),
    ("_a {'a':1 \"é\":[] '''c''':3 \"\"\"d\"\"\":4}",
     [T("_a"), TS, K("a"), V("1"), K("é", "DOUBLE_QUOTED"), LS_, LE_,
      K("c", "TRIPLE_SINGLE_QUOTED"), V("3"), K("d", "TRIPLE_DOUBLE_QUOTED"), V("4"), TE]),
    ("_a {'a' : 1}",
     [T("_a"), TS, E(SPACED.format('"a"'), 3, 9, ":", "accepted"), K("a"), V("1"), TE]),
    ("_a {'''c''' : 3}",
     [T("_a"), TS, E(SPACED.format('"c"'), 3, 13, ":", "accepted"),
      K("c", "TRIPLE_SINGLE_QUOTED"), V("3"), TE]),
    ("_a {'k'\n: 1}",
     [T("_a"), TS, E(SPACED.format('"k"'), 4, 1, ":", "accepted"), K("k"), V("1"), TE]),
    ('_a {"""c\nd""" : 3}', [T("_a"), TS, K("c\nd", "TRIPLE_DOUBLE_QUOTED"), V("3"), TE]),
    ("_a {a : 1 . : 2}",
     [T("_a"), TS, E(UNQUOTED + '"a"', 3, 5, "a", "treating as key anyway"), K("a", "STRING"),
      V("1"), E(UNQUOTED + '"."', 3, 11, ".", "treating as key anyway"), K(".", "PLACEHOLDER"),
      V("2"), TE]),
    ("_a {'a'}",
     [T("_a"), TS, E(MISSING.format('"a"'), 3, 8, "}", KEY_AT_CLOSE), K("a"), Q, TE]),
    ("_a {'a':}",
     [T("_a"), TS, K("a"), E("table key has no value", 3, 9, "}", "inserted ? placeholder"), Q,
      TE]),
    ("_a 1 ] }",
     [T("_a"), V("1"), E("unexpected ] \u2014 no open list", 3, 6, "]", "ignored"),
      E("unexpected } \u2014 no open table", 3, 8, "}", "ignored")]),
    ("_a {'k':1 ] }",
     [T("_a"), TS, K("k"), V("1"), E("unexpected ] \u2014 no open list", 3, 11, "]", "ignored"),
      TE]),
    ("_a [1 }]",
     [T("_a"), LS_, V("1"), E("unexpected } \u2014 no open table", 3, 7, "}", "ignored"), LE_]),
    ("_a {:}",
     [T("_a"), TS, E("unexpected : in table \u2014 no pending key", 3, 5, ":", "ignored"), TE]),
    ("_a {'a'::1}",
     [T("_a"), TS, K("a"), E("unexpected : in table value position", 3, 9, ":", "ignored"),
      V("1"), TE]),
    ("_a {'a' 1}",
     [T("_a"), TS, E(NOT_FOLLOWED.format('"a"'), 3, 9, "1", AS_VALUE), K("a"), V("1"), TE]),
    ("_a {[1] 'k':2}",
     [T("_a"), TS,
      E("container in table key position", 3, 5, "[", "treating container as table value (no key); "
        'collected into the list under key "\\r_tessrin_keyless"'),
      LS_, V("1"), LE_, K("k"), V("2"), TE]),
    ("_a {'a'{}}",
     [T("_a"), TS,
      E(MISSING.format('"a"'), 3, 8, "{", "emitted on_table_key; treating container as value"),
      K("a"), TS, TE, TE]),
    ("_a [1\n_b 2",
     [T("_a"), LS_, V("1"),
      E('tag "_b" encountered inside open container', 4, 1, "_b", "implicitly closing containers"),
      LE_, IMPLICIT("list", 'tag "_b"', 4, 1, "_b"), T("_b"), V("2")]),
    # A container closed implicitly is still the value of the table holding it.
    ("_a {'k':[1\ndata_y",
     [T("_a"), TS, K("k"), LS_, V("1"), LE_,
      IMPLICIT("list", "terminated by data_y", 4, 1, "data_y"), TE,
      IMPLICIT("table", "terminated by data_y", 4, 1, "data_y"), B("y")]),
    ("_a {'k':[1",
     [T("_a"), TS, K("k"), LS_, V("1"), LE_, AT_EOF("list", 3, 10), TE, AT_EOF("table", 3, 10)]),
    ("_a {'k':{'j':1",
     [T("_a"), TS, K("k"), TS, K("j"), V("1"), TE, AT_EOF("table", 3, 14), TE,
      AT_EOF("table", 3, 14)]),
    ("_a {'k'\ndata_y",
     [T("_a"), TS, E(MISSING.format('"k"'), 4, 1, "data_y", KEY_AT_CLOSE), K("k"), Q, TE,
      IMPLICIT("table", "terminated by data_y", 4, 1, "data_y"), B("y")]),
    ("_a {'k':",
     [T("_a"), TS, K("k"), E("table key has no value", 3, 8, "EOF", "inserted ? placeholder"), Q,
      TE, AT_EOF("table", 3, 8)]),
    ("_a [[1\nglobal_",
     [T("_a"), LS_, LS_, V("1"), LE_, IMPLICIT("list", "global_", 4, 1, "global_"), LE_,
      IMPLICIT("list", "global_", 4, 1, "global_"), HALT(4, 1, "global_")]),
    ("loop_ _a [1\n_b 2",
     [LOOP("_a"), LS_, V("1"), LE_, IMPLICIT("list", 'new tag "_b"', 4, 1, "_b"),
      IN_LOOP('new tag "_b"', 4, 1, "_b"), LE, T("_b"), V("2")]),
    ("loop_ _a [1",
     [LOOP("_a"), LS_, V("1"), LE_, IMPLICIT("list", "EOF", 3, 11, "EOF"),
      IN_LOOP("EOF", 3, 11, "EOF"), LE]),
    ("loop_ _a {'k':1\nstop_",
     [LOOP("_a"), TS, K("k"), V("1"), TE, IMPLICIT("table", "stop_", 4, 1, "stop_"),
      IN_LOOP("stop_", 4, 1, "stop_"), LE]),
    ("loop_ _a [1] [2 3] {}",
     [LOOP("_a"), LS_, V("1"), LE_, LS_, V("2"), V("3"), LE_, TS, TE, LE]),
    # Quoted punctuation is a value.
    ("_a ['['] _b '}' _c {'a' ':'}",
     [T("_a"), LS_, V("[", "SINGLE_QUOTED"), LE_, T("_b"), V("}", "SINGLE_QUOTED"), T("_c"), TS,
      E(NOT_FOLLOWED.format('"a"'), 3, 25, ":", AS_VALUE), K("a"), V(":", "SINGLE_QUOTED"), TE]),
]  # fmt: skip


@pytest.mark.parametrize(("body", "expected"), CONTAINERS)
def test_lists_tables_and_recovery(body, expected):
    assert events(C2 + body) == [B("x"), *expected]


def test_cif_1_1_has_no_containers():
    assert structure("data_x _a [ _b ] _c { _d } _e :") == [
        B("x"), T("_a"), V("["), T("_b"), V("]"), T("_c"), V("{"), T("_d"), V("}"), T("_e"), V(":"),
    ]  # fmt: skip


# --- ordering guarantees ------------------------------------------------------------------


MESSY = [
    "data_x _a [1 {'k' [2 {'j':}} _b {{{ data_y save_f loop_ _c [{ stop_ save_ _d",
    "data_x loop_ _a _b {'k':[ 1 2 save_f _q {'a' } save_g save_ save_ _r",
    "data_x _a { 'k' : : [1 ] ] } } _b {'k' 'v' 'w' : } _c { [ { : } ] }",
    "[ { ] } : 1 _a loop_ data_ _b {'k':{'k':{'k':[[[",
    "data_x _a {'k':[1 {'j':[",
    "data_x loop_ _a {'k':{'j':[1",
    "data_x _a {'k'",
]
TOKENS = ["data_b", "save_f", "save_", "loop_", "stop_", "_t", "_u", "1", "?", "'k'", '"""k"""',
          "[", "]", "{", "}", ":", " : ", "\n;x\n;\n", "'open\n", "# c\n"]  # fmt: skip


def random_sources(count):
    rng = random.Random(20240611)
    for _ in range(count):
        words = [rng.choice(TOKENS) for _ in range(rng.randrange(1, 40))]
        yield " ".join(words)


@pytest.mark.parametrize("source", MESSY)
@pytest.mark.parametrize("prefix", ["", "#\\#CIF_2.0\n"])
def test_ordering_guarantees_on_messy_input(prefix, source):
    check_order(events(prefix + source))


def test_ordering_guarantees_on_random_token_soup():
    for source in random_sources(400):
        for prefix in ("", "#\\#CIF_2.0\n"):
            check_order(events(prefix + source))


def test_checker_rejects_broken_streams():
    broken = [
        [T("_a"), T("_b"), V("1")],
        [T("_a"), TS, V("1"), TE],
        [T("_a"), TS, K("k"), TE],
        [LOOP("_a"), T("_b")],
        [T("_a"), LS_, TE],
        [(SFS, "f"), (SFS, "g"), SFE, SFE],
    ]
    for calls in broken:
        with pytest.raises(AssertionError):
            check_order(calls)


# --- hostile input ------------------------------------------------------------------------

HOSTILE = [
    "",
    " \t\n ",
    "\r\r\r",
    "data_x\r_a 1\r\r_b\r\n",
    "\x00",
    "data_x _a \x00\x00 '\x00' ;\x00",
    ";",
    "\n;",
    ";\n;\n;",
    "[[[",
    "]]]",
    "{{{:::}}}",
    "'''",
    '"',
    "\ufeff",
    "\ufeff\ufeff;",
    "\x0b",
    "data_\u00a0\u2028",
    "#",
    "#\\#CIF_",
    "loop_ loop_ loop_",
    "stop_ save_ data_",
]
DEEP = ["[" * 100000, "{" * 100000, "{'a':" * 50000, "[{'k':" * 30000 + "1" + "}]" * 30000]


@pytest.mark.parametrize("source", HOSTILE)
@pytest.mark.parametrize("prefix", ["", "#\\#CIF_2.0\n"])
def test_hostile_input_parses_to_the_end(prefix, source):
    check_order(events(prefix + source))
    tessrin_core.parse_raw(prefix + source)


@pytest.mark.parametrize("source", DEEP, ids=["lists", "tables", "keyed-tables", "mixed"])
def test_deep_nesting_does_not_exhaust_the_stack(source):
    source = "#\\#CIF_2.0\ndata_x _a " + source
    check_order(events(source))
    tessrin_core.parse_raw(source)


def test_long_single_line():
    count = 500000
    calls = events("#\\#CIF_2.0\ndata_x loop_ _a " + "1 'é' " * count + "'open")
    assert len(calls) == 2 * count + 5
    (error,) = [c[1] for c in calls if c[0] == "on_error"]
    assert error[1:4] == ("unterminated single quoted string", 2, 17 + 6 * count)


def loop_body(seed):
    """A loop body of words and one-line strings of every length around the 64-byte blocks the
    lexer reads loops in, with the separators real files use; its values, the position of the
    last one."""
    rng = random.Random(seed)
    parts, values, line, column = [], [], 1, 1
    for _ in range(rng.randrange(1, 300)):
        sep = rng.choice([" ", "  ", "\t", "\n", " " * 70, "\n# note 'x\n", "\n\n", "\t \n "])
        parts.append(sep)
        if "\n" in sep:
            line += sep.count("\n")
            column = len(sep) - sep.rindex("\n")
        else:
            column += len(sep)
        length = rng.choice([1, 2, 3, 7, 15, 16, 17, 62, 63, 64, 65, 130])
        roll = rng.random()
        if roll < 0.1:
            text, shown, kind = ".", ".", "PLACEHOLDER"
        elif roll < 0.8:
            first = rng.choice("ab019.-é")
            text = shown = first + "".join(rng.choice("xY7_.'\"#é(") for _ in range(length - 1))
            kind = "PLACEHOLDER" if text == "." else "STRING"
        else:
            quote = rng.choice("'\"")
            text = "".join(rng.choice("ab #_é" + "'\""[quote == "'"]) for _ in range(length))
            if rng.random() < 0.2:
                text = rng.choice(".?")  # a real value, not a placeholder
            shown, kind = quote + text + quote, ("SINGLE" if quote == "'" else "DOUBLE") + "_QUOTED"
        values.append(V(text, kind))
        parts.append(shown)
        last = (line, column)
        column += len(shown)
    parts.append(rng.choice(["", "\n", "\n\n# end\n \n"]))
    return "".join(parts), values, last


@pytest.mark.parametrize("seed", range(40))
@pytest.mark.parametrize("prefix", ["", "#\\#CIF_2.0\n"])
def test_loop_values_in_bulk_keep_text_kind_and_position(prefix, seed):
    body, values, (line, column) = loop_body(seed)
    width = 1 + seed % 4
    tags = [f"_t{k}" for k in range(width)]
    header = prefix + "data_x\nsave_f\nloop_ " + " ".join(tags) + "\n"
    head_lines = header.count("\n")
    calls = events(header + body)
    assert [c for c in calls if c[0] == "add_value"] == values
    # The frame left open is reported at the last token: the last value.
    assert calls[-2] == E("unterminated save frame at EOF", head_lines + line, column, "",
                          "emitted on_save_frame_end")  # fmt: skip
    raw = tessrin_core.parse_raw(header + body)["blocks"][0]["save_frames"][0]["tags"]
    # A quoted "." or "?" keeps its quotes there, to stay apart from the placeholders.
    quoted = {"SINGLE_QUOTED", "DOUBLE_QUOTED"}
    stored = [f'"{v[1]}"' if v[2] in quoted and v[1] in (".", "?") else v[1] for v in values]
    stored += ["?"] * (-len(stored) % width)  # the last row padded
    for k, tag in enumerate(tags):
        assert raw[tag] == stored[k::width]
