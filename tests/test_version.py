"""Version detection: the magic comment, the lines it cuts off, and its one diagnostic."""

import pytest

from conftest import Recorder, tessrin_core
from tessrin.types import CifVersion

MAGIC = "#\\#CIF_"


def probe(prefix):
    """Version and position of a lone value "x" placed after `prefix`.

    The value has no tag, so the parser reports it at its own line and column.
    """
    recorder = Recorder()
    version = tessrin_core.parse(prefix + "x", recorder)
    probes = [c[1] for c in recorder.calls if c[0] == "on_error" and c[1][4] == "x"]
    assert len(probes) == 1
    return version.name, probes[0][2:4]


@pytest.mark.parametrize(
    ("prefix", "version", "position"),
    [
        ("", "CIF_1_1", (1, 1)),
        (MAGIC + "2.0\n", "CIF_2_0", (2, 1)),
        (MAGIC + "1.1\n", "CIF_1_1", (2, 1)),
        ("\n\n\n" + MAGIC + "1.1\n", "CIF_1_1", (5, 1)),
        (" \t\n\u3000\u2028\x0b\n" + MAGIC + "2.0\n", "CIF_2_0", (4, 1)),
        (MAGIC + "2.0  \n", "CIF_2_0", (2, 1)),
        (MAGIC + "2.0\u3000\u00a0\n", "CIF_2_0", (2, 1)),
        ("\ufeff" + MAGIC + "2.0\n", "CIF_2_0", (2, 1)),
        ("\ufeff\n" + MAGIC + "2.0\n", "CIF_2_0", (3, 1)),
        ("\r\n\r" + MAGIC + "2.0\r\n", "CIF_2_0", (4, 1)),
        ("\r\r" + MAGIC + "2.0\r", "CIF_2_0", (4, 1)),
        # Not magic lines: kept in the text, where they are comments.
        (MAGIC + "2.0 extra\n", "CIF_1_1", (2, 1)),
        (MAGIC + "2.0\u00a0extra\n", "CIF_1_1", (2, 1)),
        (MAGIC + "\n", "CIF_1_1", (2, 1)),
        (MAGIC + " 2.0\n", "CIF_1_1", (2, 1)),
        (" " + MAGIC + "2.0\n", "CIF_1_1", (2, 1)),
        ("#\\#cif_2.0\n", "CIF_1_1", (2, 1)),
        ("\n\n" + MAGIC + "2.0 x\n", "CIF_1_1", (4, 1)),
        ("a\rb\r", "CIF_1_1", (3, 1)),
    ],
)
def test_version_and_line_numbering(prefix, version, position):
    assert probe(prefix) == (version, position)


WHITESPACE = (
    "\t\x0b\x0c \x85\xa0\u1680"
    + "".join(map(chr, range(0x2000, 0x200B)))
    + "\u2028\u2029\u202f\u205f\u3000"
)


@pytest.mark.parametrize("blank", WHITESPACE)
def test_unicode_whitespace_is_blank_before_and_after_the_magic(blank):
    assert probe(blank + "\n" + MAGIC + "2.0" + blank + "\n") == ("CIF_2_0", (3, 1))
    assert probe(MAGIC + blank + "2.0\n") == ("CIF_1_1", (2, 1))


@pytest.mark.parametrize("other", ["\u200b", "\u180e", "\ufeff\ufeff", "\x00"])
def test_other_characters_are_not_blank(other):
    assert probe(other + "\n" + MAGIC + "2.0\n") == ("CIF_1_1", (3, 1))


@pytest.mark.parametrize(
    ("source", "context", "line"),
    [
        (MAGIC + "3.0\ndata_x", MAGIC + "3.0", 1),
        ("\n \n" + MAGIC + "2.0.1 \r\ndata_x", MAGIC + "2.0.1", 3),
        (MAGIC + "1.10", MAGIC + "1.10", 1),
    ],
)
def test_unknown_version_tag_defaults_to_2_0_with_one_diagnostic(source, context, line):
    recorder = Recorder()
    version = tessrin_core.parse(source, recorder)
    assert version is CifVersion.CIF_2_0
    # Reaches the handler before any event of the parser.
    assert recorder.calls[0] == (
        "on_error",
        ("lexical", "unrecognised CIF version: " + context, line, 1, context,
         "defaulting to CIF 2.0"),
    )  # fmt: skip
    assert [c for c in recorder.calls[1:] if c[0] == "on_error"] == []


@pytest.mark.parametrize("source", ["", " ", "\n\n", "\r\n \t\r", MAGIC + "2.0", MAGIC + "1.1\n\n"])
def test_sources_without_content_give_no_events(source):
    recorder = Recorder()
    version = tessrin_core.parse(source, recorder)
    assert recorder.calls == []
    assert version is (CifVersion.CIF_2_0 if "2.0" in source else CifVersion.CIF_1_1)
