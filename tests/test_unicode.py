"""Lower-casing of names and tags (must equal Python's str.lower()) and the quoted form of texts
in diagnostic messages."""

import unicodedata

import pytest

tessrin_core = pytest.importorskip("tessrin_core")

# Characters that end a bare word, or that line-end normalisation turns into one.
WORD_ENDERS = set(" \t\n\r#'\"")
WORD_CHARS = [
    chr(cp) for cp in range(0x110000) if not 0xD800 <= cp <= 0xDFFF and chr(cp) not in WORD_ENDERS
]
CHUNK = 0x10000


def chunks(items):
    for start in range(0, len(items), CHUNK):
        yield items[start : start + CHUNK]


def messages(source):
    return [error["message"] for error in tessrin_core.parse_raw(source)["errors"]]


def test_block_names_lower_case_like_python_for_every_code_point():
    for part in chunks(WORD_CHARS):
        source = "".join(f"data_a{ch}b\ndata_{ch}\n" for ch in part)
        names = [block["name"] for block in tessrin_core.parse_raw(source)["blocks"]]
        expected = [name for ch in part for name in (("a" + ch + "b").lower(), ch.lower())]
        mismatches = [
            (ascii(got), ascii(want)) for got, want in zip(names, expected) if got != want
        ]
        assert len(names) == len(expected)
        assert not mismatches, mismatches[:10]


@pytest.mark.parametrize(
    ("tag", "key"),
    [
        ("_AΣ", "_aς"),  # cased before, nothing after: final
        ("_Σ", "_σ"),  # "_" is not cased
        ("_AΣB", "_aσb"),
        ("_AΣ1", "_aς1"),  # a digit after is not cased
        ("_ΣΣ", "_σς"),
        ("_A.Σ", "_a.ς"),  # case-ignorable characters are looked past, both ways
        ("_AΣ.B", "_aσ.b"),
        ("_AΣ.", "_aς."),
        ("_A\u0301Σ", "_a\u0301ς"),
        ("_1\u0301Σ", "_1\u0301σ"),
        ("_A\u2019Σ\u2019", "_a\u2019ς\u2019"),
        ("_ΑΣ\u00adΑ", "_ασ\u00adα"),
        ("_A\u0345Σ", "_a\u0345ς"),  # U+0345 is cased but also ignorable, so skipped
        ("_\u0345Σ", "_\u0345σ"),
        ("_İ", "_i\u0307"),  # one character becomes two
        ("_İΣ", "_i\u0307ς"),  # the sigma context is the text before lower-casing
        ("_\u1e9e", "_ß"),
        ("_\u2126", "_ω"),  # three UTF-8 bytes become two
        ("_\u212a", "_k"),
        ("_\u023a", "_\u2c65"),  # two UTF-8 bytes become three
        ("_\u01c5", "_\u01c6"),
        ("_\U00010400", "_\U00010428"),
        ("_ATOM_SITE_Fract_X", "_atom_site_fract_x"),
        ("_ABCDEFGHIJ\u00c9KLMNOPQRSTUVWXYZ", "_abcdefghij\u00e9klmnopqrstuvwxyz"),
    ],
)
def test_tag_keys_are_lower_cased(tag, key):
    assert key == tag.lower()
    tags = tessrin_core.parse_raw(f"data_x\n{tag} 1\n")["blocks"][0]["tags"]
    assert tags == {key: ["1"]}


@pytest.mark.parametrize(
    ("name", "shown"),
    [
        ("Foo", '"Foo"'),  # case as written
        ("a\\b", '"a\\\\b"'),
        ("a\x00b", '"a\\0b"'),
        ("a\x01b", '"a\\u{1}b"'),
        ("a\x7fb", '"a\\u{7f}b"'),
        ("a\x85b", '"a\\u{85}b"'),
        ("a\u00a0b", '"a\\u{a0}b"'),
        ("e\u0301", '"e\\u{301}"'),
        ("a\u0488", '"a\\u{488}"'),
        ("a\u200bb", '"a\\u{200b}b"'),
        ("a\u2028b", '"a\\u{2028}b"'),
        ("\ue000", '"\\u{e000}"'),
        ("\U000e0001", '"\\u{e0001}"'),
        ("é", '"é"'),
        ("Σ\U0001f600", '"Σ\U0001f600"'),
        ("\u00ad", '"\\u{ad}"'),
    ],
)
def test_duplicate_block_name_is_quoted(name, shown):
    assert "duplicate data block name: " + shown in messages(f"data_{name}\ndata_{name}\n")


@pytest.mark.parametrize(
    ("value", "shown"),
    [
        ("'it's'", '"it\'s"'),  # CIF 1.x: a quote not followed by space stays in the value
        ('"a\tb"', '"a\\tb"'),
        ("'a\"b'", '"a\\"b"'),
    ],
)
def test_unattached_value_is_quoted(value, shown):
    assert "value " + shown + " has no preceding tag" in messages(f"data_x\n{value}\n")


def test_every_code_point_is_shown_or_escaped():
    for part in chunks(WORD_CHARS):
        # The index keeps names distinct, so each pair gives exactly one duplicate message.
        source = "".join(f"data_{i}{ch}\ndata_{i}{ch}\n" for i, ch in enumerate(part))
        got = messages(source)
        expected = []
        for i, ch in enumerate(part):
            if ch == "\\":
                shown = "\\\\"
            elif ch == "\0":
                shown = "\\0"
                # Both headers hold a NUL: each is reported before the duplicate is.
                expected += [f'NUL in block or frame name "data_{i}{shown}"'] * 2
            elif not ch.isprintable() or unicodedata.category(ch) in ("Mn", "Me"):
                shown = f"\\u{{{ord(ch):x}}}"
            else:
                shown = ch
            expected.append(f'duplicate data block name: "{i}{shown}"')
        assert got == expected
