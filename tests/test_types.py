"""Typed columns of parse_tables: CIF numbers with uncertainties, column inference and its
rules, declared types from DDL2 and DDLm dictionaries, agreement with gemmi's as_number."""

import decimal
import json
import math
import re
from concurrent.futures import ThreadPoolExecutor

import pyarrow as pa
import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

from conftest import CORPUS

tessrin_core = pytest.importorskip("tessrin_core")

DDL2 = CORPUS / "dictionaries" / "ddl2" / "mmcif_pdbx.dic"
DDLM = CORPUS / "cif2-syntax" / "comcifs-cif_core" / "cif_core.dic"


def tables(text, **kwargs):
    result, errors = tessrin_core.parse_tables(text, **kwargs)
    return result, errors


def rules(table):
    return json.loads(table.schema.metadata[b"tessrin.types"])


def one_value(text, version=""):
    result, _ = tables(f"{version}data_t\n_t.v\n{text}\n")
    table = result["t"]
    su = table.column("v_su")[0].as_py() if "v_su" in table.column_names else None
    return table.schema.field("v").type, table.column("v")[0].as_py(), su


NUMBERS = [
    # (text, type, value, uncertainty)
    ("12", pa.int64(), 12, None),
    ("-12", pa.int64(), -12, None),
    ("0", pa.int64(), 0, None),
    ("+7.5", pa.float64(), 7.5, None),
    ("07.5", pa.float64(), 7.5, None),
    ("-00.5", pa.float64(), -0.5, None),
    ("007(2)", pa.float64(), 7.0, 2.0),
    ("9223372036854775807", pa.int64(), 2**63 - 1, None),
    ("-9223372036854775808", pa.int64(), -(2**63), None),
    ("1.234(5)", pa.float64(), 1.234, 0.005),
    ("-0.5(12)", pa.float64(), -0.5, 1.2),
    ("1.2e3(4)", pa.float64(), 1200.0, 400.0),
    ("12(3)", pa.float64(), 12.0, 3.0),
    ("5.4310(12)", pa.float64(), 5.431, 0.0012),
    ("1.5(0)", pa.float64(), 1.5, 0.0),
    ("1(99999999999999999999999)", pa.float64(), 1.0, 1e23),
    (".5", pa.float64(), 0.5, None),
    ("5.", pa.float64(), 5.0, None),
    ("-1.5E-3", pa.float64(), -0.0015, None),
    ("3.14159265358979323846264", pa.float64(), 3.141592653589793, None),
    ("1e23", pa.float64(), 1e23, None),  # past the exact powers of ten: correctly rounded
    ("2.2250738585072011e-308", pa.float64(), 2.2250738585072011e-308, None),
    ("9223372036854775808", pa.float64(), 2.0**63, None),  # past int64, exact in float64
    ("100000000000000000000", pa.float64(), 1e20, None),
]

TEXTS = [
    "1e400", "1e-400", "nan", "NaN", "inf", "-Infinity", "0x1A", "1,000", "1_000", "'1 000'",
    "1.2(3", "1.2()", "1.2(3)x", "1.5(-3)", "1.5(0.3)", "1.2.3", "e5", "1e", "1e+", "-", "+.",
    "'1e400'",
]  # fmt: skip
CANONICAL = re.compile(r"0|-?[1-9][0-9]*")
INEXACT = "an integer that neither int64 nor float64 holds exactly"
NOT_CANONICAL = "an integer not in canonical form (a leading zero, a plus sign, -0)"
CODES = ["0433", "007", "00", "-007", "+7", "+0", "-0", "0100000000000000000000"]


@pytest.mark.parametrize("text, arrow_type, value, su", NUMBERS)
def test_numbers(text, arrow_type, value, su):
    got_type, got_value, got_su = one_value(text)
    assert got_type == arrow_type
    assert got_value == value and math.copysign(1, got_value) == math.copysign(1, value)
    assert got_su == su


@settings(max_examples=300, deadline=None)
@given(
    sign=st.sampled_from(["", "-", "+"]),
    whole=st.text("0123456789", max_size=20),
    fraction=st.none() | st.text("0123456789", max_size=20),
    exponent=st.none() | st.integers(-330, 330),
    su=st.none() | st.text("0123456789", min_size=1, max_size=4),
)
def test_numbers_round_as_python_does(sign, whole, fraction, exponent, su):
    """Any CIF number reads as Python's own correctly rounded float() of it (or int)."""
    number = whole + ("" if fraction is None else "." + fraction)
    assume(any(c.isdigit() for c in number))
    number = sign + number + ("" if exponent is None else f"e{exponent}")
    text = number + ("" if su is None else f"({su})")
    got_type, got_value, got_su = one_value(text)
    plain = fraction is None and exponent is None and su is None
    if plain and not CANONICAL.fullmatch(number):
        assert got_type == pa.string()  # a code (`007`, `+5`, `-0`), not a number
        return
    if plain and -(2**63) <= int(number) < 2**63:
        assert (got_type, got_value) == (pa.int64(), int(number))
        return
    value = float(number)
    last = (exponent or 0) - len(fraction or "")
    su_value = None if su is None else float(decimal.Decimal(su).scaleb(last))
    if math.isinf(value) or (value == 0 and any(c in "123456789" for c in number.split("e")[0])):
        assert got_type == pa.string()  # past float64's range either way: text, never inf or 0
    elif su_value is not None and (math.isinf(su_value) or (su_value == 0 < int(su))):
        assert got_type == pa.string()  # so is an uncertainty past the range
    elif fraction is None and exponent is None and su is None and float(int(number)) != int(number):
        assert got_type == pa.string()  # an integer float64 would round
    else:
        assert got_type == pa.float64()
        assert got_value == value and math.copysign(1, got_value) == math.copysign(1, value)
        assert got_su == su_value


NUMBER_CELL = st.none() | st.tuples(
    st.sampled_from(["", "-"]),
    st.text("0123456789", max_size=17),
    st.none() | st.text("0123456789", max_size=9),
)


# Columns of mostly one shape (digits after the point fixed, none for integers), as most
# numeric columns are: these are read four values at a time.
SHAPED_COLUMN = st.integers(0, 8).flatmap(
    lambda fraction: st.lists(
        st.none()
        | st.tuples(
            st.sampled_from(["", "-"]),
            st.text("0123456789", min_size=1, max_size=9 - fraction),
            st.none() | st.text("0123456789", min_size=fraction, max_size=fraction),
        ),
        min_size=8,
        max_size=60,
    )
)


@settings(max_examples=400, deadline=None)
@given(cells=st.lists(NUMBER_CELL, min_size=1, max_size=30) | SHAPED_COLUMN)
def test_number_columns_read_as_python_does(cells):
    """A column of numbers (read by the loops for a column whose type is known: up to 16
    characters, the point anywhere, nulls between) reads as Python's int() and float()."""
    texts = []
    for cell in cells:
        if cell is None:
            texts.append("?")
            continue
        sign, whole, fraction = cell
        if fraction is None:  # integers in canonical form: codes are the property below's
            whole = whole.lstrip("0") or "0" * bool(whole)
            sign = "" if whole == "0" else sign
        number = whole + ("" if fraction is None else "." + fraction)
        texts.append(sign + number if any(c.isdigit() for c in number) else "?")
    table = tables("data_t\nloop_\n_t.v\n" + "\n".join(texts) + "\n")[0]["t"]
    numbers = [t for t in texts if t != "?"]
    assume(numbers)
    got = table.column("v").to_pylist()
    if all("." not in t for t in numbers):
        assert table.schema.field("v").type == pa.int64()
        assert got == [None if t == "?" else int(t) for t in texts]
    elif any("." not in t and float(int(t)) != int(t) for t in numbers):
        assert table.schema.field("v").type == pa.string()  # an integer float64 would round
    else:
        assert table.schema.field("v").type == pa.float64()
        # A bare integer is the int converted; -0.0 keeps its sign.
        expected = [None if t == "?" else float(t) if "." in t else float(int(t)) for t in texts]
        assert [repr(v) for v in got] == [repr(v) for v in expected]


# Values no numeric column takes, each next to what the short readers accept: the bytes either
# side of the digits, codes, a sign alone, digits among other bytes (a UTF-8 continuation
# byte 0xB0 to 0xB9 too, digits but for its high bit).
ODD = ["007", "00", "-0", "+5", "-", ":", "/", "0:", "1/", "/1", "9;", "1-", "--1", "1.2.3",
       "-.", "0x1", "2\u00b0", "\u00b3", "1 2"]  # fmt: skip


@settings(max_examples=300, deadline=None)
@given(shape=st.sampled_from(["digit", "integer", "real"]), rows=st.integers(24, 64),
       at=st.integers(0, 64), odd=st.sampled_from(ODD), seed=st.integers(0, 2**32))
def test_one_odd_value_keeps_a_number_column_text(shape, rows, at, odd, seed):
    """Wherever it stands (in a group read four at a time, in the rows read one by one after
    it, in the last rows, in a column of one-digit values), one odd value keeps the column
    text. Columns of 24 rows and more: the short readers leave the last 18 bytes alone."""
    import random

    rng = random.Random(seed)
    fraction = rng.randrange(1, 7)
    cells = []
    for _ in range(rows):
        width = 1 if shape == "digit" else rng.randrange(1, 9)
        digits = str(rng.randrange(1, 10)) + "".join(rng.choices("0123456789", k=width - 1))
        if shape == "real":
            digits = f"{digits[:-fraction] or '0'}.{digits[-fraction:].rjust(fraction, '0')}"
        cells.append(("-" if shape != "digit" and rng.random() < 0.3 else "") + digits)
    at = min(at, rows)
    cells.insert(at, odd if " " not in odd else f"'{odd}'")
    table = tables("data_t\nloop_\n_t.v\n" + "\n".join(cells) + "\n")[0]["t"]
    assert table.schema.field("v").type == pa.string()
    assert (rules(table)["v"]["row"], table.column("v")[at].as_py()) == (at, odd)


@pytest.mark.parametrize(
    "text, reason",
    [*((text, "not a number") for text in TEXTS), ("12345678901234567890", INEXACT),
     *((text, NOT_CANONICAL) for text in CODES)],
)
def test_bad_numbers_stay_text(text, reason):
    result, errors = tables(f"data_t\n_t.v {text}\n")
    table = result["t"]
    assert table.schema.field("v").type == pa.string()
    assert table.column("v")[0].as_py() == text.strip("'")
    assert rules(table)["v"] == {"type": "string", "source": "inferred", "reason": reason,
                                 "row": 0, "value": text.strip("'")}  # fmt: skip
    assert errors == []


@pytest.mark.parametrize(
    "version, text, arrow_type, value",
    [
        ("", "'1.5'", pa.float64(), 1.5),  # CIF 1.1: quotes only delimit
        ("#\\#CIF_2.0\n", "'1.5'", pa.string(), "1.5"),
        ("#\\#CIF_2.0\n", "[1 2]", pa.string(), "\x00[\"1\",\"2\"]"),
        ("", ";1.5\n;", pa.float64(), 1.5),  # a text field too
        ("#\\#CIF_2.0\n", ";1.5\n;", pa.string(), "1.5"),
        ("", "'?'", pa.string(), '"?"'),  # a quoted ? is text, not unknown
        ("", "-0.0", pa.float64(), -0.0),
    ],
)
def test_how_a_value_was_written(version, text, arrow_type, value):
    got_type, got_value, _ = one_value(text, version)
    assert got_type == arrow_type and got_value == value


@pytest.mark.parametrize(
    "values, arrow_type, expected, su, reason",
    [
        (["1", "?", "3"], pa.int64(), [1, None, 3], None, None),
        (["1", "2.5", "."], pa.float64(), [1.0, 2.5, None], None, None),
        (["1(2)", "3", "?"], pa.float64(), [1.0, 3.0, None], [2.0, None, None], None),
        (["1", "A", "B"], pa.string(), ["1", "A", "B"], None, ("not a number", 1, "A")),
        (["9007199254740993", "0.5"], pa.string(), ["9007199254740993", "0.5"], None,
         ("an integer past 2^53 among real numbers: float64 would round it", 0,
          "9007199254740993")),
        (["0.5", "9007199254740993"], pa.string(), ["0.5", "9007199254740993"], None,
         ("an integer past 2^53 among real numbers: float64 would round it", 1,
          "9007199254740993")),
        (["?", "."], pa.string(), ["?", "."], None, ("no values to infer a type from", None, None)),
        # One character each: digits are ids, anything else (`:` is '9' + 1) keeps it text.
        (["1"] * 30 + ["0"], pa.int64(), [1] * 30 + [0], None, None),
        ([":"] * 30, pa.string(), [":"] * 30, None, ("not a number", 0, ":")),
        (["1"] * 29 + ["/"], pa.string(), ["1"] * 29 + ["/"], None, ("not a number", 29, "/")),
        # Read four at a time: a 9-digit integer, and one followed by a point of the next value.
        (["0.5", "1.25", "-3.5", "7.0", "123456789", "-12", "3.5", "0.25"] + ["0.125"] * 8,
         pa.float64(), [0.5, 1.25, -3.5, 7.0, 123456789.0, -12.0, 3.5, 0.25] + [0.125] * 8, None,
         None),
    ],
)  # fmt: skip
def test_column_inference(values, arrow_type, expected, su, reason):
    body = "\n".join(values)
    table = tables(f"data_t\nloop_\n_t.v\n{body}\n")[0]["t"]
    assert table.schema.field("v").type == arrow_type
    assert table.column("v").to_pylist() == expected
    assert ("v_su" in table.column_names) == (su is not None)
    if su is not None:
        assert table.column_names.index("v_su") == table.column_names.index("v") + 1
        assert table.column("v_su").to_pylist() == su
    rule = rules(table)["v"]
    assert (rule.get("reason"), rule.get("row"), rule.get("value")) == (reason or (None,) * 3)


def test_uncertainty_column_named_beside_the_files_own():
    table = tables(
        "data_t\nloop_\n_atom_site.fract_x\n_atom_site.fract_x_su\n0.25(3) 0.03\n0.5 ?\n"
    )[0]["atom_site"]
    assert table.column_names == ["block", "frame", "fract_x", "fract_x_su_derived", "fract_x_su"]
    assert table.column("fract_x_su_derived").to_pylist() == [0.03, None]
    assert table.column("fract_x_su").to_pylist() == [0.03, None]


def test_types_text_keeps_every_column_text():
    text = "data_t\n_cell.length_a 5.4310(12)\n_cell.volume 160\n"
    typed = tables(text, types="text")[0]["cell"]
    assert typed.column("length_a").to_pylist() == ["5.4310(12)"]
    assert {f.name: f.type for f in typed.schema}["volume"] == pa.string()
    assert rules(typed)["volume"]["source"] == "types=text"


GEMMI_COLUMNS = [
    (CORPUS / "mmcif-big" / "mmcif_6yfy.cif", "_atom_site.",
     ["Cartn_x", "Cartn_y", "Cartn_z", "occupancy", "B_iso_or_equiv"]),
    # DDL1 names, nearly every value with an uncertainty (which as_number leaves out)
    (CORPUS / "cif1-real" / "structurefinder-tests" / "COD" / "4060316.cif", "_atom_site_",
     ["fract_x", "fract_y", "fract_z", "U_iso_or_equiv"]),
]  # fmt: skip


@pytest.mark.parametrize("path, prefix, columns", GEMMI_COLUMNS, ids=["mmcif", "ddl1"])
def test_atom_site_numbers_equal_gemmi(path, prefix, columns):
    gemmi = pytest.importorskip("gemmi")
    if not path.exists():
        pytest.skip("corpus not present")
    table = tessrin_core.parse_tables_file(str(path))[0]["atom_site"]
    block = gemmi.cif.read(str(path)).sole_block()
    for name in columns:
        assert table.schema.field(name).type == pa.float64()
        ours = [math.nan if v is None else v for v in table.column(name).to_pylist()]
        theirs = [gemmi.cif.as_number(v) for v in block.find_values(prefix + name)]
        assert len(ours) == len(theirs) > 0
        assert all(a == b or (math.isnan(a) and math.isnan(b)) for a, b in zip(ours, theirs))


def need(path):
    if not path.exists():
        pytest.skip("corpus not present")
    return str(path)


@pytest.mark.parametrize(
    "dictionary, text, category, column, arrow_type, value",
    [
        (DDL2, "data_t\n_entity.id 1\n", "entity", "id", pa.string(), "1"),
        (DDL2, "data_t\n_atom_site.Cartn_x 12\n", "atom_site", "Cartn_x", pa.float64(), 12.0),
        (DDL2, "data_t\n_atom_site.label_seq_id 7\n", "atom_site", "label_seq_id", pa.int64(), 7),
        (DDL2, "data_t\n_atom_site.Cartn_x ?\n", "atom_site", "Cartn_x", pa.float64(), None),
        (DDLM, "data_t\n_cell_length_a 5.4310(12)\n", "cell", "length_a", pa.float64(), 5.431),
        (DDLM, "data_t\n_atom_site_label 12\n", "atom_site", "label", pa.string(), "12"),
    ],
)  # fmt: skip
def test_declared_types_of_the_shared_dictionaries(dictionary, text, category, column, arrow_type,
                                                   value):
    table = tables(text, types=need(dictionary))[0][category]
    assert table.schema.field(column).type == arrow_type
    assert table.column(column)[0].as_py() == value
    assert rules(table)[column]["source"].startswith("declared")


def test_value_that_misfits_its_declared_type_is_a_diagnostic():
    text = "data_1abc\nloop_\n_atom_site.id\n_atom_site.Cartn_x\n1 1.5\n2 n/a\n"
    result, errors = tables(text, types=need(DDL2))
    assert result["atom_site"].column("Cartn_x").to_pylist() == ["1.5", "n/a"]
    (error,) = errors
    assert error["error_type"] == "semantic" and error["context"] == "n/a"
    assert all(part in error["message"] for part in ("_atom_site.Cartn_x", '"1abc"', "row 1"))


def small_dictionary(path, code):
    """A DDL2 dictionary declaring `_t.v` of type `code`, and `_t.w` a child of an int."""
    path.write_text(
        "data_d\nloop_\n_item_type_list.code\n_item_type_list.primitive_code\n"
        "int numb\nfloat numb\ncode char\nint-range numb\nmeasure numb\n"
        f"save__t.v\n_item.name '_t.v'\n_item_type.code {code}\nsave_\n"
        "save__t.p\n_item.name '_t.p'\n_item_type.code int\nsave_\n"
        "save__t.w\n_item.name '_t.w'\n_item_linked.child_name '_t.w'\n"
        "_item_linked.parent_name '_t.p'\nsave_\n"
    )
    return path


def small_ddlm(path, contents, container="Single"):
    """A DDLm dictionary declaring `_t.v` (its contents imported from a template for
    `templ:`) and `_t.w` by its definition id."""
    definition = (f"_type.contents {contents}" if not contents.startswith("templ:") else
                  f"_import.get [{{'file':'templ.cif' 'save':'{contents[6:]}'}}]")
    path.write_text(
        "#\\#CIF_2.0\ndata_D\nsave_t.v\n_definition.id '_t.v'\n_name.category_id t\n"
        f"_name.object_id v\n{definition}\n_type.container {container}\nsave_\n"
        "save_t.w\n_definition.id '_T.W'\n_type.contents Integer\nsave_\n"
    )
    (path.parent / "templ.cif").write_text(
        "#\\#CIF_2.0\ndata_T\nsave_real\n_type.contents Real\nsave_\n")
    return path


def test_dictionary_reread_when_it_changes(tmp_path):
    path = small_dictionary(tmp_path / "d.dic", "int")
    assert tables("data_x\n_t.v 5\n", types=path)[0]["t"].column("v")[0].as_py() == 5
    small_dictionary(path, "code")
    assert tables("data_x\n_t.v 5\n", types=path)[0]["t"].column("v")[0].as_py() == "5"


# (dictionary, declaration of _t.v, its values, type, values read, the misfit's row) where
# _t.w (an int by its parent, or by its definition id) holds 1 2 3 and _t.u is undeclared.
DECLARED = [
    ("ddl2", "int", ["0433", "+5", "-0", "12"], pa.int64(), [433, 5, 0, 12], None),
    ("ddl2", "float", ["007", "+5", "1.5(2)"], pa.float64(), [7.0, 5.0, 1.5], None),
    ("ddl2", "code", ["0433", "12", "1.5"], pa.string(), ["0433", "12", "1.5"], None),
    ("ddl2", "measure", ["1", "2.5"], pa.float64(), [1.0, 2.5], None),  # numb: real
    ("ddl2", "int-range", ["1", "2"], pa.int64(), [1, 2], None),  # left to inference
    ("ddl2", "int-range", ["1-5", "2"], pa.string(), ["1-5", "2"], None),
    ("ddl2", "int", ["1", "1.5", "2"], pa.string(), ["1", "1.5", "2"], 1),
    ("ddl2", "float", ["1.5", "?", "n/a"], pa.string(), ["1.5", "?", "n/a"], 2),
    ("ddlm", "Integer", ["007", "3"], pa.int64(), [7, 3], None),
    ("ddlm", "Count", ["1", "x"], pa.string(), ["1", "x"], 1),
    ("ddlm", "Real", ["1", "2.5"], pa.float64(), [1.0, 2.5], None),
    ("ddlm", "Code", ["1", "2"], pa.string(), ["1", "2"], None),
    ("ddlm", "Text", ["1.5"], pa.string(), ["1.5"], None),
    ("ddlm", "Range", ["1", "2"], pa.int64(), [1, 2], None),  # left to inference
    ("ddlm", "templ:real", ["1", "2"], pa.float64(), [1.0, 2.0], None),
    ("ddlm", "templ:none", ["1", "2"], pa.int64(), [1, 2], None),  # no such frame: open
]  # fmt: skip


@pytest.mark.parametrize("kind, declared, values, arrow_type, expected, misfit", DECLARED)
def test_declared_types(tmp_path, kind, declared, values, arrow_type, expected, misfit):
    """What a dictionary declares, on every path (the values repeat past a group of four);
    codes are an inference rule, so a declared int reads `0433` as 433."""
    path = (small_dictionary if kind == "ddl2" else small_ddlm)(tmp_path / "d.dic", declared)
    n = len(values)
    rows = "\n".join(f"{v} {i % 3 + 1} {i % 3 + 1}" for i, v in enumerate(values * 3))
    text = f"data_Blk\nloop_\n_t.v\n_t.w\n_t.u\n{rows}\n"
    result, errors = tables(text, types=path)
    table = result["t"]
    assert table.schema.field("v").type == arrow_type
    assert table.column("v").to_pylist()[:n] == expected
    assert table.schema.field("w").type == table.schema.field("u").type == pa.int64()
    assert rules(table)["u"]["source"] == "inferred"
    assert rules(table)["w"]["source"] == "declared integer"
    if misfit is None:
        assert errors == []
        return
    assert [(e["error_type"], e["context"]) for e in errors] == [("semantic", values[misfit])]
    assert all(part in errors[0]["message"] for part in ("_t.v", '"blk"', f"row {misfit}"))


def test_threads_type_tables_as_one_thread_does(tmp_path):
    # Tables are typed and built without the interpreter lock: threads doing so at once, one
    # dictionary between them, get the tables, rules and diagnostics that one thread gets.
    path = small_dictionary(tmp_path / "d.dic", "int")
    sources = [
        f"data_b{i}\n_c.x {i}.5(2)\nloop_ _t.v _t.w\n"
        + "".join(f"{n} {n}.{i}({n % 7})\n" for n in range(5_000 * i))
        + ("n/a 1\n" if i % 2 else "")
        for i in range(1, 5)
    ]
    calls = [(source, types) for source in sources for types in (None, "text", str(path))]

    def typed(call):
        result, errors = tables(call[0], types=call[1])
        return {name: (t, t.schema.metadata) for name, t in result.items()}, errors

    expected = [typed(call) for call in calls]
    with ThreadPoolExecutor(max_workers=4) as pool:
        assert list(pool.map(typed, calls * 4)) == expected * 4


@pytest.mark.parametrize(
    "types, error",
    [
        ("/no/such/dictionary.dic", FileNotFoundError),
        ("bogus", FileNotFoundError),  # a misspelt keyword is taken for a path
        ("Infer", FileNotFoundError),
        (".", IsADirectoryError),
        (5, TypeError),
        ("bad\0path", ValueError),
    ],
)
def test_bad_types_argument(types, error):
    with pytest.raises(error) as caught:
        tessrin_core.parse_tables("data_x\n", types=types)
    if isinstance(types, str) and error is not ValueError:
        assert "'infer', 'text' or the path of a DDL2 or DDLm dictionary" in str(caught.value)
        assert caught.value.filename == types


def test_file_without_item_types_is_not_a_dictionary(tmp_path):
    path = tmp_path / "plain.cif"
    path.write_text("data_x\n_cell.length_a 5\n")
    with pytest.raises(ValueError, match="declares no item types"):
        tessrin_core.parse_tables("data_x\n", types=str(path))


@pytest.mark.parametrize(
    "types, length_a, label", [("infer", pa.float64(), pa.string()), ("text", pa.string(), pa.string())]
)
def test_command_convert_and_show(tmp_path, types, length_a, label):
    import subprocess
    import sys

    import pyarrow.parquet as pq

    (tmp_path / "x.cif").write_text("data_x\n_cell.length_a 9.8213(4)\nloop_\n_atom.label\nC1\n")
    run = [sys.executable, "-m", "tessrin"]
    subprocess.run([*run, "convert", "x.cif", "--to", "parquet", "--types", types, "-o", "out"],
                   cwd=tmp_path, check=True, capture_output=True)  # fmt: skip
    cell = pq.read_table(tmp_path / "out" / "cell.parquet")
    assert cell.schema.field("length_a").type == length_a
    assert pq.read_table(tmp_path / "out" / "atom.parquet").schema.field("label").type == label
    shown = subprocess.run([*run, "show", "x.cif"], cwd=tmp_path, capture_output=True, text=True,
                           check=True)
    # One-row tables are `item: value` lines.
    assert "length_a: 9.8213 (float64)" in shown.stdout and "label: C1\n" in shown.stdout
