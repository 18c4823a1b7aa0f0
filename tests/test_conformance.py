"""Conformance findings: one invalid example and one valid near-miss per rule from one table,
no finding on the valid files of the corpus beyond the reviewed list, and real files with
several violations at once."""


import pytest
import tessrin_core
from hypothesis import given
from hypothesis import strategies as st

import tessrin
from conftest import CORPUS
from tessrin.conformance import RULES

V11 = "#\\#CIF_1.1\ndata_d\n"
V20 = "#\\#CIF_2.0\ndata_d\n"
L = "x" * 75

# (rule, header, invalid, valid near-miss). The header goes before both texts; None means the
# texts are whole files. A near-miss must give no finding at all.
CASES = [
    ("encoding", V11, b"_x a\xffb\n", "_x ab\n"),
    ("encoding", None, "\ufeff#".encode("utf-16-le"), "#\\#CIF_1.1\n"),
    ("magic-not-recognised", None, "\n#\\#CIF_2.0\ndata_d\n", "#\\#CIF_2.0\t\ndata_d\n"),
    ("magic-not-recognised", None, "#\\#CIF_2.0\u00a0\ndata_d\n", "\ufeff#\\#CIF_2.0\r\ndata_d\n"),
    ("cif2-not-utf8", V20, b"_x 'a\xc3'\n", "_x '\u00e9'\n"),
    ("bom-cif1", None, "\ufeffdata_d\n_x 1\n", "\ufeff#\\#CIF_2.0\ndata_d\n_x 1\n"),
    ("bom-misplaced", V20, "_x a\ufeffb\n", "_x ab\n"),
    ("char-control", V11, "_x 1\f_y 2\n", "_x 'a\tb'\r\n_y 2\r"),
    ("char-control", V11, "_x\n;\nline\x7f\n;\n", "_x\n;\nline\n;\n"),
    ("ctrl-z", V11, "_x 1\n\x1a", "_x 1\n"),
    ("char-non-ascii", V11, "# comment \u00e9\n_x 1\n", "_x '\\%A'\n"),
    ("char-c1-or-noncharacter", V20, "_x 'a\u0085b'\n", "_x '\u00a0\ue000\ufffd\u2028'\n"),
    ("char-c1-or-noncharacter", V20, "_x '\U0001fffe'\n", "_x '\U0001fffd'\n"),
    ("line-too-long", V11, "_x " + "y" * 2046 + "\n", "_x " + "y" * 2045 + "\r\n"),
    ("line-too-long", V20, "_x " + "\u4e00" * 2046 + "\n", "_x " + "\u4e00" * 2045 + "\n"),
    ("data-name-too-long", V11, "_" + L + " 1\n", "_" + L[1:] + " 1\n"),
    ("data-name-too-long", V11, "_" + L + " 1\n", None),
    ("block-code-too-long", None, "#\\#CIF_1.1\ndata_" + L + "y\n", "#\\#CIF_1.1\ndata_" + L),
    ("frame-code-too-long", V11, "save_" + L + "y\n_x 1\nsave_\n", "save_" + L + "\n_x 1\nsave_\n"),
    ("empty-data-name", V11, "_ 1\n", "_a#b 1\n"),
    ("empty-block-code", None, "#\\#CIF_1.1\ndata_\n_x 1\n", "#\\#CIF_1.1\ndata_0\n_x 'data_'\n"),
    ("global-block", V11, "global_\n_x 1\n", "_x global_x\n_y 'global_'\n"),
    ("stop-keyword", V11, "loop_ _a 1 2 stop_\n", "_x stop_it\n_y 'stop_'\n"),
    ("nested-loop", V11, "loop_ _a loop_ _b 1 2\n", "loop_ _a 1 loop_ _b 2\n"),
    ("reserved-word-as-value", V11, "_x loop_\n", "_x loop_x\n_y data\n_z 'data_y'\n"),
    ("reserved-word-as-value", V11, "_x SAVE_\n", "_x 'save_'\n"),
    ("dollar-value", V11, "_x $frame\n", "_x '$frame'\n_y a$b\n"),
    ("bracket-value-cif1", V11, "_x [1,2]\n", "_x a[1]\n_y Fc^*^=kFc[1+0.001]^-1/4^\n_z {abc}\n"),
    ("no-block-header", "#\\#CIF_1.1\n", "_x 1\ndata_d\n", "# comment\n\ndata_d\n"),
    ("missing-value", V11, "_a\n_b 1\n", "_a\n;\ntext\n;\n_b ?\n_c .\n"),
    ("missing-value", V11, "_a", "_a 'x'"),
    ("value-without-tag", V11, "_a x y\n", "_a 'x y'\nloop_ _b 1 2\n"),
    ("loop-without-tags", V11, "loop_\n1 2\n", "loop_ _a 1\n"),
    ("loop-without-values", V11, "loop_ _a\nsave_f _b 1 save_\n", "loop_ _a ?\n"),
    ("loop-count-mismatch", V11, "loop_ _a _b 1 2 3\n", "loop_ _a _b\n1 # c\n2\n3 4\n"),
    ("save-frame-nested", V11, "save_a\n_x 1\nsave_b\n_y 2\nsave_\nsave_\n",
     "save_a\n_x 1\nsave_\nsave_b\n_y 2\nsave_\n"),
    ("save-frame-unterminated", V11, "save_a\n_x 1\ndata_e\n", "save_a\n_x 1\nsave_\ndata_e\n"),
    ("save-frame-unterminated", V11, "save_a\n_x 1\n", None),
    ("save-end-unexpected", V11, "_x 1\nsave_\n", "save_f _x 1 save_\n"),
    ("save-frame-empty", V11, "save_a\nsave_\n", None),
    ("save-frame-empty", V20, None, "save_a\nsave_\n"),
    ("duplicate-tag", V11, "_a 1\nloop_ _A 2 3\n", "_a 1\n_a_b 2\nsave_a\n_a 3\nsave_\n"),
    ("duplicate-tag", V11, "loop_ _a _a 1 2\n", "_a 1\ndata_e\n_a 2\n"),
    ("duplicate-tag", V20, "_caf\u00e9 1\n_CAFE\u0301 2\n", "_stra\u00dfe 1\n_strase 2\n"),
    ("duplicate-block-code", None, "#\\#CIF_1.1\ndata_a\n_x 1\ndata_A\n_x 2\n",
     "#\\#CIF_1.1\ndata_a\nsave_a\n_x 1\nsave_\ndata_b\nsave_a\n_x 2\nsave_\n"),
    ("duplicate-frame-code", V11, "save_f _x 1 save_ save_F _y 2 save_\n",
     "save_f _x 1 save_ save_g _x 2 save_\n"),
    ("unterminated-quote", V11, "_x 'abc\n", "_x 'a dog's life'\n_y \"a\"b\"\n_z '''abc'''\n"),
    ("unterminated-quote", V11, "_x 'abc'#c\n", "_x ''\n_y 'abc'"),
    ("unterminated-text-field", V11, "_x\n;\ntext", "_x\n;\ntext with ; inside\n;\n_y\n;\n;"),
    ("text-field-no-trailing-space", V11, "_x\n;\nt\n;y\n", "_x\n;\nt\n; _y 1\n"),
    ("text-field-no-trailing-space", V11, "_x\n;\nt\n;#c\n", "_x\n;\nt\n; #c\n"),
    ("cif2-missing-whitespace", V20, "_x [1][2]\n", "_x [[1] [2]]\n_y ['a' 'b']\n_z ['a']\n"),
    ("cif2-missing-whitespace", V20, "_x 'a'#c\n", "_x [1 #c\n 2]\n_y {'k':1}\n"),
    ("cif2-embedded-quote", V20, "_x 'it's'\n", "_x \"it's\"\n_y '''it's'''\n"),
    ("cif2-bracket-in-unquoted", V20, "_x a[1]\n", "_tag[1] 2\n_x 'a[1]'\n_y a:b\n"),
    ("cif2-bracket-in-unquoted", None, "#\\#CIF_2.0\ndata_d\n_x a]\n",
     "#\\#CIF_2.0\ndata_with[1]\nsave_f{1}\n_x 1\nsave_\n"),
    ("unterminated-triple-quote", V20, "_x '''abc", "_x '''a\n''b'''\n_y \"\"\"\"\"\"\n"),
    ("unterminated-list", V20, "_x [1 2\n_y 3\n", "_x [1 2\n3]\n_y []\n"),
    ("unterminated-table", V20, "_x {'a':1\n_y 2\n", "_x {'a':1\n'b':2}\n_y {}\n"),
    ("unexpected-closing-delimiter", V20, "_x 1 ]\n", "_x [1 [2 3] {'k':4}]\n"),
    ("unexpected-closing-delimiter", V20, "_x [1}\n", "_x [\n;\nt\n;]\n"),
    ("table-key-not-quoted", V20, "_x {a:1}\n", "_x {'':1 '''k''':2 \"a\":3}\n"),
    ("table-key-text-field", V20, "_x {\n;k\n;:1}\n", "_x {'k':\n;v\n;}\n"),
    ("table-entry-no-key", V20, "_x {'a':1 2}\n", "_x {'a':1 'b':2}\n"),
    ("table-entry-no-key", V20, "_x {:1}\n", None),
    ("table-entry-no-value", V20, "_x {'a':}\n", "_x {'a':? 'b': 1}\n"),
    ("table-key-colon-space", V20, "_x {'a' :1}\n", "_x {'a':1}\n"),
    ("table-duplicate-key", V20, "_x {'a':1 'a':2}\n", "_x {'a':1 'A':2}\n"),
    ("version-comment-missing", None, "data_d\n_x 1\n", "#\\#CIF_1.1 \ndata_d\n_x 1\n"),
    ("version-code-unknown", None, "#\\#CIF_3.0\ndata_d\n", V11 + "#\\#CIF_2.0\n_x 1\n"),
    ("version-code-unknown", None, " #\\#CIF_2.0\ndata_d\n", None),
    ("cif2-magic-trailing-text", None, "#\\#CIF_2.0 text\ndata_d\n", "#\\#CIF_2.0 # note\n"),
]

# Valid files the table's near-misses do not already cover (¶58 and end-of-file cases).
VALID_FILES = ["", "# only a comment", "\n \t\r\n", "#\\#CIF_2.0", "#\\#CIF_1.1\ndata_x\n",
               "#\\#CIF_1.1\r\ndata_x\r_y 1\n_z 'q'"]


def full(header, body):
    if body is None:
        return None
    if header is None:
        return body
    return header.encode() + body if isinstance(body, bytes) else header + body


def rules_of(text):
    return [f["rule"] for f in tessrin.conformance(text)]


@pytest.mark.parametrize(("rule", "header", "invalid", "near_miss"), CASES,
                         ids=[f"{c[0]}-{n}" for n, c in enumerate(CASES)])
def test_rule_table(rule, header, invalid, near_miss):
    if invalid is not None:
        assert rule in rules_of(full(header, invalid))
    if near_miss is not None:
        assert tessrin.conformance(full(header, near_miss)) == []


def test_every_rule_has_a_case_and_a_severity():
    assert {case[0] for case in CASES} == set(RULES)
    assert set(RULES.values()) == {"error", "warning"}


@pytest.mark.parametrize("text", VALID_FILES)
def test_valid_files(text):
    assert tessrin.conformance(text) == []
    assert tessrin.conformance(text.encode()) == []


# --- the corpus: every finding reviewed, the reviewed list kept in tests/data ---------------

EXPECTED = __import__("pathlib").Path(__file__).parent / "data" / "conformance_corpus.txt"
UBIQUITOUS = "version-comment-missing"  # most real files lack it: counted, not listed


def corpus_summary():
    """One line per file with findings: `PATH<TAB>rule=COUNT@LINE:COLUMN ...` (first position)."""
    notes = {CORPUS / "README.md", CORPUS / "MANIFEST.tsv"}
    lines, ubiquitous = [], 0
    for path in sorted(p for p in CORPUS.rglob("*") if p.is_file() and p not in notes):
        per_rule = {}
        for f in tessrin.conformance_file(path):
            entry = per_rule.setdefault(f["rule"], [0, f"{f['line']}:{f['column']}"])
            entry[0] += 1
        ubiquitous += per_rule.pop(UBIQUITOUS, None) is not None
        if per_rule:
            cells = " ".join(f"{rule}={n}@{at}" for rule, (n, at) in per_rule.items())
            lines.append(f"{path.relative_to(CORPUS)}\t{cells}")
    return [f"# {UBIQUITOUS}: {ubiquitous} files", *lines]


@pytest.mark.skipif(not CORPUS.is_dir(), reason="corpus absent")
def test_corpus_findings_are_the_reviewed_ones(request):
    """A new finding on a real file shows here as a diff to review; after reviewing it, rewrite
    the list with TESSRIN_UPDATE_EXPECTED=1."""
    found = corpus_summary()
    if __import__("os").environ.get("TESSRIN_UPDATE_EXPECTED"):
        EXPECTED.write_text(
            "# Reviewed conformance findings on ../shared/corpus (see test_conformance.py)\n"
            + "\n".join(found) + "\n", encoding="utf-8")
    expected = EXPECTED.read_text(encoding="utf-8").splitlines()[1:]
    assert found == expected


# --- real files with several violations: positions, order, cascades ------------------------

REAL = {
    # A stray ';' after a loop (line 52) opens a text field that runs to line 547: the loop
    # gets one value too many, and the field's closer is glued to the text that follows; the
    # next field is closed the same way, and the last is never closed.
    "cif1-real/py-mmcif-tests/1bna-errors.cif": [
        ("version-comment-missing", 1, 1), ("missing-value", 22, 1),
        ("loop-count-mismatch", 38, 1), ("text-field-no-trailing-space", 547, 2),
        ("text-field-no-trailing-space", 736, 2), ("unterminated-text-field", 737, 1),
    ],
    # Each broken line reported where it breaks, and the strings swallow nothing beyond it.
    "cif1-real/malformed/cod-tools-codcif/unterminated-strings.cif": [
        ("version-comment-missing", 1, 1), ("value-without-tag", 3, 11),
        ("value-without-tag", 3, 20), ("unterminated-quote", 5, 7), ("unterminated-quote", 6, 7),
    ],
}  # fmt: skip


@pytest.mark.skipif(not CORPUS.is_dir(), reason="corpus absent")
@pytest.mark.parametrize("name", REAL)
def test_real_files_with_several_violations(name):
    found = tessrin.conformance_file(CORPUS / name)
    assert [(f["rule"], f["line"], f["column"]) for f in found] == REAL[name]
    # The same from the bytes and from the text decoded as a user would.
    data = (CORPUS / name).read_bytes()
    assert tessrin.conformance(data) == found == tessrin.conformance(data.decode())


# --- bad input: never raises, always finishes, capped -----------------------------------------


def test_huge_line_and_control_characters_finish_capped():
    one_line = tessrin.conformance(b"data_d _x " + b"y" * 100_000_000, max_errors=5)
    assert [(f["rule"], f["column"]) for f in one_line] == [
        ("version-comment-missing", 1), ("line-too-long", 2049)]  # fmt: skip
    controls = bytes(range(32)) * 20_000
    assert len(tessrin.conformance(controls, max_errors=10)) == 10
    uncapped = tessrin.conformance(controls)  # character rules: once per rule and line
    lines = controls.count(b"\n") + controls.count(b"\r")
    assert len(uncapped) < 4 * lines
    assert tessrin.conformance("data_d\n_x 1 2\n", max_errors=0) == []


@pytest.mark.parametrize("data", [
    # the cap reached inside a long non-ASCII line: once read past the text to measure it
    ("data_x\n_a \x01" + "\u4e00" * 1000 + "\n").encode(),
    # the cap reached before the first data block: the version comment is still expected
    b"1 2\n3\ndata_d\n_x 1\n",
])  # fmt: skip
def test_a_capped_check_gives_the_first_findings(data):
    found = tessrin.conformance(data)
    for cap in range(len(found) + 1):
        assert tessrin.conformance(data, max_errors=cap) == found[:cap]


@given(data=st.binary(max_size=300))
def test_any_bytes_give_ordered_findings(data):
    for source in (data, data.decode("utf-8", "surrogateescape")):
        found = tessrin.conformance(source)
        positions = [(f["line"], f["column"]) for f in found]
        assert positions == sorted(positions)
        assert all(f["rule"] in RULES and f["line"] >= 1 and f["column"] >= 1 for f in found)


# --- the writer's output is conformant ------------------------------------------------------


def writer_inputs():
    texts = [full(h, v) for _, h, _, v in CASES if isinstance(full(h, v), str)]
    if CORPUS.is_dir():
        texts += [
            p.read_bytes().decode("utf-8", "replace")
            for p in sorted((CORPUS / "cif1-real").rglob("*.cif"))[::12]
            + sorted((CORPUS / "cif2-syntax").rglob("*.cif"))[::4]
            if p.stat().st_size < 300_000
        ]
    return texts


@pytest.mark.skipif(not hasattr(tessrin, "dumps"), reason="no writer in this build")
def test_writer_output_has_no_finding():
    checked = 0
    for text in writer_inputs():
        if tessrin.conformance(text):
            continue  # a file that breaks a rule may be written back breaking it (a tag twice)
        try:
            written = tessrin.dumps(tessrin.parse_raw(text))
        except (ValueError, TypeError):
            continue  # data the target version cannot hold: refused, not written
        assert tessrin.conformance(written) == [], written[:2000]
        checked += 1
    assert checked > 50


def test_check_diagnostics_entry_matches_parse_raw():
    """`check` takes the core's diagnostics from `diagnostics`, which builds no values."""
    from tessrin._report import version_of

    for text in writer_inputs():
        for mode in (None, "strict"):
            result = tessrin.parse_raw(text, mode)
            assert tessrin_core.diagnostics(text, mode) == result["errors"]
        assert version_of(text) == result["version"]


# --- character classes per version -------------------------------------------------------

# (code points, rule in CIF 1.1, rule in CIF 2.0): the characters either side of each class's
# bounds, placed in a comment, where no other rule looks.
CHARACTER_CLASSES = [
    ([0x09, 0x20, 0x41, 0x7E], None, None),
    ([0x00, 0x08, 0x0B, 0x0C, 0x0E, 0x19, 0x1B, 0x1F, 0x7F], "char-control", "char-control"),
    ([0x1A], "ctrl-z", "ctrl-z"),
    ([0x80, 0x85, 0x9F, 0xFDD0, 0xFDEF, 0xFFFE, 0xFFFF, 0x1FFFE, 0x1FFFF, 0x10FFFE, 0x10FFFF],
     "char-non-ascii", "char-c1-or-noncharacter"),
    ([0xA0, 0xE9, 0xD7FF, 0xE000, 0xFDCF, 0xFDF0, 0xFFFD, 0x10000, 0x1FFFD, 0x10FFFD],
     "char-non-ascii", None),
    ([0xFEFF], "char-non-ascii", "bom-misplaced"),
]  # fmt: skip


@pytest.mark.parametrize("points, cif1, cif2", CHARACTER_CLASSES)
def test_character_classes(points, cif1, cif2):
    for point in points:
        for header, rule in ((V11, cif1), (V20, cif2)):
            text = f"{header}_x 1 # a{chr(point)}b\n"
            found = [(f["rule"], f["line"], f["column"]) for f in tessrin.conformance(text)]
            assert found == ([] if rule is None else [(rule, 3, 9)]), hex(point)


def test_character_rules_report_their_first_occurrence_per_line():
    """Columns count characters; each rule once per line, a line ending in LF, CR or CRLF."""
    text = (V11 + "_x 1 # \u00e9\x01\x02\u00fc\x1a\x1a\n_y 2 # \x03\r_z 3 # \x04\x05\r\n"
            "_w 4 # \x06\n")
    found = [(f["rule"], f["line"], f["column"]) for f in tessrin.conformance(text)]
    assert found == [("char-non-ascii", 3, 8), ("char-control", 3, 9), ("ctrl-z", 3, 12),
                     ("char-control", 4, 8), ("char-control", 5, 8), ("char-control", 6, 8)]


CHARACTER_RULES = {"encoding", "cif2-not-utf8", "char-non-ascii", "char-c1-or-noncharacter",
                   "bom-misplaced", "char-control", "ctrl-z"}  # fmt: skip
PIECES = [b"_x ", b"'a", b"'", b"\xff", b"\xe2\x82", b"\xc3", b"\xf0\x9f\x98", b"\xed\xa0\x80",
          b"\xc0\xaf", b"\x80\x80", b"\xc3\xa9", b"\n", b"\r", b"loop_ ", b"1 ", b";", b"#", b" "]


@given(version=st.sampled_from([V11, V20]),
       pieces=st.lists(st.sampled_from(PIECES), max_size=20))
def test_bytes_that_are_not_utf8_read_as_replacement_characters(version, pieces):
    """Each bad sequence is one U+FFFD, as Python's decoder makes it, for every other rule
    and every column; the first on each line is the finding."""
    data = version.encode() + b"".join(pieces)
    text = data.decode("utf-8", "replace")
    found = tessrin.conformance(data)

    def others(findings):
        return [(f["rule"], f["line"], f["column"]) for f in findings
                if f["rule"] not in CHARACTER_RULES]  # fmt: skip

    assert others(found) == others(tessrin.conformance(text))
    rule = "encoding" if version == V11 else "cif2-not-utf8"
    lines = text.replace("\r\n", "\n").replace("\r", "\n").split("\n")
    assert [(f["line"], f["column"]) for f in found if f["rule"] == rule] == [
        (n, line.index("\ufffd") + 1) for n, line in enumerate(lines, 1) if "\ufffd" in line]
