"""Tokens as the handler sees them: word classes, CIF 2.0 punctuation, quoted strings, positions
and the lexer's diagnostics."""

import pytest

from conftest import errors, structure

CIF2 = "#\\#CIF_2.0\n"


def loop_items(body, cif2=False):
    """Calls made for `body` as the values of a one-tag loop, without diagnostics."""
    calls = structure((CIF2 if cif2 else "") + "data_x loop_ _t " + body)
    assert calls[:2] == [("on_data_block", "x"), ("on_loop_start", ["_t"])]
    assert calls[-1] == ("on_loop_end",)
    return [c[1:] if c[0] == "add_value" else c[0] for c in calls[2:-1]]


def lexical(source):
    return [e[1:] for e in errors(source) if e[0] == "lexical"]


@pytest.mark.parametrize(
    ("body", "cif2", "items"),
    [
        ("abc . ? .. ?a data loop_x", False,
         [("abc", "STRING"), (".", "PLACEHOLDER"), ("?", "PLACEHOLDER"), ("..", "STRING"),
          ("?a", "STRING"), ("data", "STRING"), ("loop_x", "STRING")]),
        # Quotes and "#" inside a word belong to it (primed atom labels, O1W#).
        ("a#b\nc it's C1' O5'' x\"y", False,
         [("a#b", "STRING"), ("c", "STRING"), ("it's", "STRING"), ("C1'", "STRING"),
          ("O5''", "STRING"), ('x"y', "STRING")]),
        ("a#b it's", True, [("a#b", "STRING"), ("it's", "STRING")]),
        ("a;b ;c a\x0bb a\x0cb a\xa0b a\ufeffb a\x00b", False,
         [("a;b", "STRING"), (";c", "STRING"), ("a\x0bb", "STRING"), ("a\x0cb", "STRING"),
          ("a\xa0b", "STRING"), ("a\ufeffb", "STRING"), ("a\x00b", "STRING")]),
        # CIF 1.1 has no punctuation: brackets, braces and colons are word characters.
        ("{a} a:b [ ] { } :", False,
         [("{a}", "STRING"), ("a:b", "STRING"), ("[", "STRING"), ("]", "STRING"),
          ("{", "STRING"), ("}", "STRING"), (":", "STRING")]),
        ("abc[1]", True, [("abc", "STRING"), "on_list_start", ("1", "STRING"), "on_list_end"]),
        ("[a:b]", True, ["on_list_start", ("a:b", "STRING"), "on_list_end"]),
        # A colon right after a token is punctuation (an ordinary value outside tables); after a
        # blank it starts a word.
        ("'a': :x", True, [("a", "SINGLE_QUOTED"), (":", "STRING"), (":x", "STRING")]),
        # Quoted brackets are values, never punctuation.
        ("'[' \"]\" '''{''' \"\"\"}\"\"\"", True,
         [("[", "SINGLE_QUOTED"), ("]", "DOUBLE_QUOTED"), ("{", "TRIPLE_SINGLE_QUOTED"),
          ("}", "TRIPLE_DOUBLE_QUOTED")]),
        ("'it's' x", False, [("it's", "SINGLE_QUOTED"), ("x", "STRING")]),
        ("'it's' x", True, [("it", "SINGLE_QUOTED"), ("s'", "STRING"), ("x", "STRING")]),
        ("'a'b' \"a\"\"\t'x'", False, [("a'b", "SINGLE_QUOTED"), ('a"', "DOUBLE_QUOTED"),
                                       ("x", "SINGLE_QUOTED")]),
        ("'a'\x00", False, [("a", "SINGLE_QUOTED"), ("\x00", "STRING")]),
        ("'é' \"\"\"a\n'''b\"\"\" '''x''''", True,
         [("é", "SINGLE_QUOTED"), ("a\n'''b", "TRIPLE_DOUBLE_QUOTED"),
          ("x", "TRIPLE_SINGLE_QUOTED"), ("", "SINGLE_QUOTED")]),
        ("'''a\nb''' \"\"\"\"\"\"", False, [("a\nb", "STRING"), ("", "STRING")]),
    ],
)  # fmt: skip
def test_token_texts_and_kinds(body, cif2, items):
    assert loop_items(body, cif2) == items


@pytest.mark.parametrize(
    ("source", "calls"),
    [
        ("DATA_Foo Loop_ _A 1 STOP_ Data_ save_F Save_",
         [("on_data_block", "Foo"), ("on_loop_start", ["_A"]), ("add_value", "1", "STRING"),
          ("on_loop_end",), ("on_data_block", ""), ("on_save_frame_start", "F"),
          ("on_save_frame_end",)]),
        (CIF2 + "data_x[1] _tag[1] {x}",
         [("on_data_block", "x[1]"), ("add_tag", "_tag[1]"), ("on_table_start",),
          ("on_table_key", "x", "STRING"), ("add_value", "?", "PLACEHOLDER"), ("on_table_end",)]),
        # A byte-order mark opening the text is skipped like a blank; elsewhere it is a word
        # character.
        ("\ufeffdata_x _a 1",
         [("on_data_block", "x"), ("add_tag", "_a"), ("add_value", "1", "STRING")]),
        ("\n\ufeffdata_x", [("on_data_block", "x")]),
        # The first line starts past the mark: a semicolon right after it opens a text field.
        ("\ufeff;x\n;\ndata_y", [("add_tag", "_tessrin_error_value"),
                                 ("add_value", "x", "MULTILINE_STRING"), ("on_data_block", "y")]),
        ("data_x\n\ufeffdata_y", [("on_data_block", "x"), ("add_tag", "_tessrin_error_value"),
                                  ("add_value", "\ufeffdata_y", "STRING")]),
    ],
)  # fmt: skip
def test_reserved_words_and_tags(source, calls):
    assert structure(source) == calls


@pytest.mark.parametrize(
    ("prefix", "position"),
    [
        ("", (1, 1)),
        ("\t", (1, 2)),
        ("\ufeff", (1, 2)),
        ("é😀 ", (1, 4)),
        ("# comment\n", (2, 1)),
        ("'é' ", (1, 5)),
        ('"""a\nbé""" ', (2, 7)),
        ('"""a\r\nb\rc""" ', (3, 6)),
        (";a\nb\n; ", (3, 3)),
    ],
)
def test_positions_count_characters_and_lines(prefix, position):
    # A lone value is reported at its own position.
    found = [e for e in errors(CIF2 + prefix + "z") if e[4] == "z"]
    assert [e[2:4] for e in found] == [(position[0] + 1, position[1])]


L11 = "lexer recovery"


@pytest.mark.parametrize(
    ("source", "expected"),
    [
        ("_t [a]", [("bare word beginning with '[' is not permitted in CIF 1.x", 1, 4, "[")]),
        ("_t $a", [("bare word beginning with '$' is not permitted in CIF 1.x", 1, 4, "$")]),
        ("_t a[ a$ {a}", []),
        ("_t 'aé\tb'", [("character U+00E9 is not permitted in CIF 1.x", 1, 6, "é")]),
        ("_t\n 'x\x01\x7f'", [("character U+0001 is not permitted in CIF 1.x", 2, 4, "\x01"),
                              ("character U+007F is not permitted in CIF 1.x", 2, 5, "\x7f")]),
        ("_t 'é😀\U0010ffff\x00'",
         [("character U+00E9 is not permitted in CIF 1.x", 1, 5, "é"),
          ("character U+1F600 is not permitted in CIF 1.x", 1, 6, "😀"),
          ("character U+10FFFF is not permitted in CIF 1.x", 1, 7, "\U0010ffff"),
          ("character U+0000 is not permitted in CIF 1.x", 1, 8, "\x00")]),
        ("_t é 'a", [("unterminated single quoted string", 1, 6, "'a")]),
        ('_t "abc\n_u 1', [("unterminated double quoted string", 1, 4, '"abc')]),
        ("_t '''a''' '''b", [("triple-quoted strings are not valid in CIF 1.x", 1, 4, "'''"),
                             ("triple-quoted strings are not valid in CIF 1.x", 1, 12, "'''"),
                             ("unterminated triple-quoted string", 1, 12, "'''b")]),
        (CIF2 + "_t 'é' \"\"\"x\ny",
         [("unterminated triple double quoted string", 2, 8, '"""x\ny')]),
        (CIF2 + "_t é '''", [("unterminated triple single quoted string", 2, 6, "'''")]),
        (CIF2 + "_t 'é\x01' [$] '\x01", [("unterminated single quoted string", 2, 13, "'\x01")]),
        ("_t '" + "a" * 100, [("unterminated single quoted string", 1, 4, "'" + "a" * 40)]),
        (CIF2 + '_t """' + "b" * 100,
         [("unterminated triple double quoted string", 2, 4, '"""' + "b" * 40)]),
    ],
)  # fmt: skip
def test_lexer_diagnostics(source, expected):
    assert lexical(source) == [(m, line, col, ctx, L11) for m, line, col, ctx in expected]


def test_unterminated_context_is_cut_on_a_character_boundary():
    content = "a" * 39 + "é" + "b" * 10
    (found,) = lexical(CIF2 + "_t '" + content)
    assert found[3] in ("'" + "a" * 39, "'" + "a" * 39 + "é")


def test_lexer_diagnostics_come_before_the_parser_s_at_the_same_token():
    assert [e[1] for e in errors("data_x 'é")] == [
        "character U+00E9 is not permitted in CIF 1.x",
        "unterminated single quoted string",
        'value "é" has no preceding tag',
    ]


def test_line_after_unterminated_string_is_tokenised_normally():
    assert structure("data_x _t 'abc\n_u 'd'") == [
        ("on_data_block", "x"),
        ("add_tag", "_t"),
        ("add_value", "abc", "SINGLE_QUOTED"),
        ("add_tag", "_u"),
        ("add_value", "d", "SINGLE_QUOTED"),
    ]
