"""Text fields: scanning (content, positions, diagnostics) and the multi-line transform applied
to stored values."""

import pytest

from conftest import errors, structure, tessrin_core

CIF2 = "#\\#CIF_2.0\n"


@pytest.mark.parametrize(
    ("field", "content"),
    [
        (";abc\ndef\n;", "abc\ndef"),
        (";\n;", ""),
        (";\n\n;", "\n"),
        (";a\n ;b\n;", "a\n ;b"),
        (";a\r\nb\r;", "a\nb"),
        (";a ; b\n\tc\n;", "a ; b\n\tc"),
    ],
)
def test_text_field_content(field, content):
    for prefix in ("", CIF2):
        assert structure(prefix + "data_x _t\n" + field) == [
            ("on_data_block", "x"),
            ("add_tag", "_t"),
            ("add_value", content, "MULTILINE_STRING"),
        ]


def test_semicolon_starting_a_line_closes_and_the_rest_of_the_line_is_tokenised():
    calls = errors("data_x _t\n;a\n;b; c\n")
    assert [c[1:4] for c in calls] == [('value "b;" has no preceding tag', 3, 2),
                                       ('value "c" has no preceding tag', 3, 5)]  # fmt: skip


@pytest.mark.parametrize(
    ("source", "line", "content"),
    [
        ("data_x _t\n;abc\nd\n", 2, "abc\nd\n"),
        (CIF2 + "_t\n;abc", 3, "abc"),
        ("\n\n;", 3, ""),
        ("_t\r\r;x\r\r", 3, "x\n\n"),
    ],
)
def test_unterminated_text_field(source, line, content):
    calls = [c for c in structure(source) if c[0] == "add_value"]
    assert calls == [("add_value", content, "MULTILINE_STRING")]
    lexical = [e for e in errors(source) if e[0] == "lexical"]
    assert lexical == [("lexical", "unterminated multiline string", line, 1, ";", "lexer recovery")]


@pytest.mark.parametrize(
    ("prefix", "expected"),
    [
        ("", [("character U+00E9 is not permitted in CIF 1.x", 4, 2, "é"),
              ("character U+007F is not permitted in CIF 1.x", 4, 3, "\x7f")]),
        (CIF2, []),
    ],
)  # fmt: skip
def test_character_rule_inside_text_fields(prefix, expected):
    source = prefix + "data_x _t\n;a\tb\n\nxé\x7f\n;"
    assert [e[1:5] for e in errors(source)] == expected


def test_handler_receives_the_raw_content_and_stored_values_are_transformed():
    source = "data_x _t\n;\\\nabc\n;"
    assert structure(source)[-1] == ("add_value", "\\\nabc", "MULTILINE_STRING")
    assert stored(source) == "abc"


def stored(source):
    return tessrin_core.parse_raw(source)["blocks"][0]["tags"]["_t"][0]


@pytest.mark.parametrize(
    ("content", "result"),
    [
        ("abc\ndef", "abc\ndef"),
        ("", ""),
        ("\\", ""),
        ("\\ \t", ""),
        ("\\\nA\nB", "A\nB"),
        ("pre\\  \npreA\npre\npreB", "A\n\nB"),
        ("pre\\\npreA\nxB", "pre\\\npreA\nxB"),
        ("pre\\\npreA\n\npreB", "pre\\\npreA\n\npreB"),
        ("pre\\\npr", "pre\\\npr"),
        ("\\a\nx", "\\a\nx"),
        ("\\\\a\nx", "\\\\a\nx"),
        ("a\\b\nx", "a\\b\nx"),
        ("\\\\\nab \\  \ncd", "ab cd"),
        ("\\\\\nab\\\ncd\\\nef\ngh", "abcdef\ngh"),
        ("\\\\\nab\n\\", "ab"),
        ("\\\\\nab\ncd\\", "ab\ncd"),
        ("\\\\\n\\\n\nx", "\nx"),
        ("\\\\ \n  \nx\\y", "  \nx\\y"),
        ("> \\\\\n> ab\\\n> cd\n> \\", "abcd"),
        ("> \\\\\n> ab\\\n>cd", "> \\\\\n> ab\\\n>cd"),
    ],
)
def test_multiline_transform(content, result):
    for prefix in ("", CIF2):
        assert stored(prefix + "data_x _t\n;" + content + "\n;") == result
