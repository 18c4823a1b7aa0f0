"""The object model: CifFile, CifBlock, CifSaveFrame, parse_cif and deep copy."""

import gc
import sys
import weakref
from pathlib import Path
from types import SimpleNamespace as NS

import pytest
import tessrin_core

from conftest import growth_trend
from tessrin.cifmodel.model import CifBlock, CifFile, CifSaveFrame
from tessrin.types import CifVersion

CORPUS = Path(__file__).resolve().parents[1].parent / "shared" / "corpus"


def make(cls):
    return cls() if cls is CifFile else cls("x")


def element(**overrides):
    """A stand-in block: any object with the attributes deepcopy reads."""
    fields = {
        "name": "n", "_id": 0, "_tags": {}, "_tag_order": [], "_loops": [], "_save_frame_list": []
    }
    fields.update(overrides)
    return NS(**{k: v for k, v in fields.items() if v is not ...})


class Shifty:
    """An element whose name property runs code while a walk over its list is under way."""

    def __init__(self, action):
        self.action, self._id = action, None

    @property
    def name(self):
        self.action()
        return "x"


# --- the classes and their properties ------------------------------------------------------


@pytest.mark.parametrize("cls", [CifSaveFrame, CifBlock, CifFile])
def test_class_shape(cls):
    assert cls.__module__ == "tessrin.cifmodel.model"
    obj = make(cls)
    for attempt, error in [
        (lambda: type("Sub", (cls,), {}), TypeError),
        (lambda: setattr(obj, "anything", 1), AttributeError),
        (lambda: weakref.ref(obj), TypeError),
        (lambda: len(obj), TypeError),
        (lambda: iter(obj), TypeError),
    ]:
        with pytest.raises(error):
            attempt()
    assert gc.is_tracked(obj)  # cycles through the model are collected
    assert [n for n in vars(tessrin_core) if n.startswith("Cif")] == [
        "CifSaveFrame", "CifBlock", "CifFile"]


@pytest.mark.parametrize(
    ("cls", "prop"),
    [(c, p) for c in (CifSaveFrame, CifBlock) for p in ("_tags", "_tag_order", "_loops")]
    + [(CifBlock, "_save_frames"), (CifBlock, "_save_frame_list")]
    + [(CifFile, "_blocks"), (CifFile, "_block_list")],
)
def test_container_properties(cls, prop):
    a, b = make(cls), make(cls)
    assert getattr(a, prop) is not getattr(b, prop)  # fresh containers per object
    marker = object()
    setattr(a, prop, marker)
    assert getattr(a, prop) is marker
    with pytest.raises(AttributeError, match="property has no deleter"):
        delattr(a, prop)


@pytest.mark.parametrize(
    ("cls", "prop", "writable"),
    [(CifSaveFrame, "name", True), (CifBlock, "_id", True), (CifFile, "version", True),
     (CifSaveFrame, "tags", False), (CifBlock, "loops", False),
     (CifBlock, "save_frames", False), (CifFile, "blocks", False)],
)
def test_no_property_can_be_deleted(cls, prop, writable):
    obj = make(cls)
    with pytest.raises(AttributeError, match="no deleter" if writable else "not writable"):
        delattr(obj, prop)
    if not writable:
        with pytest.raises(AttributeError, match="not writable"):
            setattr(obj, prop, [])


@pytest.mark.parametrize(
    ("prop", "value", "error", "text"),
    [("_id", "a", TypeError, "_id"), ("_id", 1.0, TypeError, "_id"),
     ("_id", -1, OverflowError, None), ("_id", 2**64, OverflowError, None),
     ("name", b"x", TypeError, "name")],
)
def test_scalar_setters_refuse(prop, value, error, text):
    b = CifBlock("b", 5)
    with pytest.raises(error, match=text):
        setattr(b, prop, value)
    assert (b.name, b._id) == ("b", 5)
    b._id, b.name = 2**64 - 1, type("S", (str,), {})("sub")
    assert b._id == 2**64 - 1 and type(b.name) is str


@pytest.mark.parametrize("cls", [CifSaveFrame, CifBlock])
@pytest.mark.parametrize(
    ("args", "kwargs", "error", "text"),
    [((), {}, TypeError, "name"), ((1,), {}, TypeError, "name"),
     (("a",), {"id": "x"}, TypeError, "'id'"), (("a",), {"id": -1}, OverflowError, None),
     (("a", 1, 2), {}, TypeError, None), (("a",), {"name": "b"}, TypeError, "name"),
     (("a",), {"nope": 1}, TypeError, "nope")],
)
def test_constructor_refuses(cls, args, kwargs, error, text):
    with pytest.raises(error, match=text):
        cls(*args, **kwargs)
    assert (cls(id=4, name="n").name, cls(id=4, name="n")._id) == ("n", 4)


@pytest.mark.parametrize(
    ("version", "expected"),
    [(None, CifVersion.CIF_2_0), (CifVersion.CIF_1_1, CifVersion.CIF_1_1),
     (NS(name="CIF_1_1"), CifVersion.CIF_1_1), (NS(name="cif_1_1"), CifVersion.CIF_2_0),
     ("CIF_1_1", AttributeError), (NS(name=1), TypeError)],
)
def test_file_version(version, expected):
    if isinstance(expected, type):
        with pytest.raises(expected):
            CifFile(version)
        f = CifFile(CifVersion.CIF_1_1)
        with pytest.raises(expected):
            f.version = version
        assert f.version is CifVersion.CIF_1_1
        return
    assert CifFile(version=version).version is expected
    f = CifFile()
    if version is None:
        with pytest.raises(AttributeError):  # None is only special in the constructor
            f.version = None
    else:
        f.version = version
        assert f.version is expected


# --- lookups -------------------------------------------------------------------------------


def block_with_frame():
    b = CifBlock("b")
    b._append_value("_cell_length_a", "5.0")
    f = CifSaveFrame("frame")
    f._append_value("_x", "1")
    b._add_save_frame(f)
    return b, f


def test_block_lookup_routes_by_underscore():
    b, f = block_with_frame()
    assert b["_Cell_Length_A"] is b._tags["_cell_length_a"]
    assert b["FRAME"] is f and f["_X"] == ["1"]
    assert "_CELL_LENGTH_A" in b and "Frame" in b and "_frame" not in b
    with pytest.raises(KeyError) as e:
        b["_Missing_Tag"]
    assert e.value.args == ("_Missing_Tag",)
    with pytest.raises(KeyError):
        f["frame"]  # a save frame looks every key up among its tags
    assert "" not in b
    b._add_save_frame(CifSaveFrame(""))
    assert "" in b


@pytest.mark.parametrize(
    "key", ["_ÅNGSTRÖM", "_ΟΔΟΣ", "_ΣΑΣ x", "_İstanbul", "_ǅx", "_ẞ", "_ＡＢ", "_ÀÉ\u0301"]
)
def test_lookup_folds_like_str_lower(key):
    f = CifSaveFrame("f")
    f._append_value(key.lower(), "v")
    assert f[key] == ["v"] and key in f
    file = CifFile()
    file._add_block(CifBlock(key.lower()))
    assert key in file and file.get_all(key)[0].name == key.lower()

    class Key(str):  # the folded query must be a plain str, folded by str.lower itself
        def __hash__(self):
            raise AssertionError

        def lower(self):
            return "wrong"

    assert f[Key(key)] == ["v"]


@pytest.mark.parametrize("op", ["get", "contains"])
@pytest.mark.parametrize(
    ("cls", "field", "key"),
    [(CifSaveFrame, "_tags", "_a"), (CifBlock, "_tags", "_a"),
     (CifBlock, "_save_frames", "a"), (CifFile, "_blocks", "a")],
)
def test_lookup_checks_kinds(cls, field, key, op):
    obj = make(cls)
    setattr(obj, field, [])
    with pytest.raises(TypeError, match=field):
        obj[key] if op == "get" else key in obj
    with pytest.raises(TypeError):
        obj[1] if op == "get" else 1 in obj


def test_get_all_and_add_block():
    f = CifFile()
    first, second, other = CifBlock("a"), CifBlock("a"), CifBlock("A")
    assert [f._add_block(x) for x in (first, second, other)] == [False, True, False]
    assert [x._id for x in (first, second, other)] == [0, 1, 2]
    assert f["A"] is first and f.get_all("A") == [first, second]  # stored names not folded
    assert f.get_all(name="zzz") == [] and f.blocks == ["a", "a", "A"]
    for item, error in [(object(), AttributeError), (NS(name=3), TypeError)]:
        f._block_list[1:] = [item]
        with pytest.raises(error):
            f.get_all("a")


@pytest.mark.parametrize(("mutate", "expected"), [("clear", 1), ("grow", 3), ("pop", 2)])
def test_walks_survive_list_mutation(mutate, expected):
    f = CifFile()
    lst = f._block_list
    action = {"clear": lst.clear, "grow": lambda: lst.append(CifBlock("x")),
              "pop": lambda: lst.pop(0)}[mutate]
    lst.extend([Shifty(action), CifBlock("x"), CifBlock("x")])
    assert len(f.get_all("x")) == expected
    lst[:] = [Shifty(action), CifBlock("x"), CifBlock("x")]
    assert len(f.blocks) == expected


# --- mutators and views ---------------------------------------------------------------------


@pytest.mark.parametrize("cls", [CifSaveFrame, CifBlock])
def test_append_value(cls):
    obj = make(cls)
    obj._append_value("_a", 1)
    obj._append_value(tag="_a", value=2)
    obj._append_value("_B", 3)
    assert obj._tags == {"_a": [1, 2], "_B": [3]} and obj._tag_order == ["_a", "_B"]
    assert "_B" not in obj  # stored unfolded, so a folded query misses it
    with pytest.raises(TypeError, match="tag"):
        obj._append_value(1, 2)


@pytest.mark.parametrize(
    ("field", "value", "call"),
    [("_tags", [], "append"), ("_tag_order", {}, "append"), ("_tags", {"_a": ()}, "append"),
     ("_loops", {}, "loop"), ("_tag_order", (), "loop")],
)
def test_mutators_check_fields_before_change(field, value, call):
    f = CifSaveFrame("f")
    setattr(f, field, value)
    with pytest.raises(TypeError):
        f._append_value("_a", 1) if call == "append" else f._add_loop(["_a"], {})
    untouched = {"_tags": {}, "_tag_order": [], "_loops": []}
    del untouched[field]
    if value != {"_a": ()}:
        assert {k: getattr(f, k) for k in untouched} == untouched


def test_add_loop():
    f = CifSaveFrame("f")
    f._append_value("_b", "old")
    column = ["1", "2"]
    f._add_loop(["_a", "_b"], {"_a": column})
    assert f._tags["_a"] is column and f._tags["_b"] == []
    f._add_loop(tags=("_c", "_c"), buffers={})
    f._add_loop([], {})
    assert f._loops == [["_a", "_b"], ["_c", "_c"], []]
    assert f._tag_order == ["_b", "_a", "_c"]
    tags = ["_d", "_e"]

    class Grab(str):  # changing the caller's list mid-call must not reach the loop
        def __hash__(self):
            tags.clear()
            return str.__hash__(self)

    tags[0] = Grab("_d")
    f._add_loop(tags, {})
    assert f._loops[-1] == ["_d", "_e"]


@pytest.mark.parametrize(
    ("tags", "buffers", "text"),
    [("_a", {}, "tags"), (b"_a", {}, "tags"), (["_a", 1], {}, "tags"), (5, {}, "tags"),
     ({"_a": 1}, {}, "tags"), (["_a"], [], "buffers")],
)
def test_add_loop_refuses(tags, buffers, text):
    f = CifSaveFrame("f")
    with pytest.raises(TypeError, match=text):
        f._add_loop(tags, buffers)
    assert f._tags == {} and f._loops == []


def test_add_save_frame_failures():
    b = CifBlock("b")
    frame = NS(name="x", _id=None)
    assert b._add_save_frame(frame=frame) is False and frame._id == 0
    bad = NS(name=9)
    with pytest.raises(TypeError):
        b._add_save_frame(bad)
    assert bad._id == 1 and b._save_frame_list[-1] is bad  # appended and numbered
    with pytest.raises(AttributeError):
        b._add_save_frame(object())  # no settable _id: nothing appended
    b._save_frames = []
    with pytest.raises(TypeError, match="_save_frames"):
        b._add_save_frame(NS(name="y", _id=None))
    assert len(b._save_frame_list) == 2


def test_views_are_copies():
    b, _ = block_with_frame()
    b._add_loop(["_l1", "_l2"], {})
    b.tags.append("_zzz")
    assert "_zzz" not in b._tag_order
    b._tag_order.append("_zzz")
    assert b.tags[-1] == "_zzz"
    assert b.loops == b._loops and b.loops[0] is not b._loops[0]
    b._save_frame_list.append(NS(name=7))
    assert b.save_frames == ["frame", 7]
    b._loops.append(("_t",))
    assert b.loops[-1] == ["_t"]
    b._loops.append(5)
    with pytest.raises(TypeError, match="_loops"):
        _ = b.loops


# --- the borrow flag -----------------------------------------------------------------------


class EvilKey:
    """A stored dict key that collides with "_a" and runs code when compared."""

    def __init__(self, action):
        self.action = action

    def __hash__(self):
        return hash("_a")

    def __eq__(self, other):
        self.action()
        return False


def test_key_comparison_cannot_assign_object_being_read():
    f = CifSaveFrame("f")
    f._tags = {EvilKey(lambda: setattr(f, "_tags", {})): 1}
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        f["_a"]
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        _ = "_a" in f
    f._tags = {EvilKey(lambda: f._tags.clear()): 1}  # the borrows were released
    with pytest.raises(KeyError):
        f["_a"]

    class Tag(str):
        def __hash__(self):
            f.name = "renamed"
            return str.__hash__(self)

    with pytest.raises(RuntimeError, match="Already borrowed"):
        f._append_value(Tag("_b"), 1)
    assert f.name == "f"


@pytest.mark.parametrize("reader", ["get_all", "blocks"])
def test_element_name_cannot_assign_file(reader):
    f = CifFile()
    original = f._block_list
    original.append(Shifty(lambda: setattr(f, "_block_list", [])))
    with pytest.raises(RuntimeError, match="Already borrowed"):
        f.get_all("x") if reader == "get_all" else f.blocks
    assert f._block_list is original


def test_version_setter_holds_file_exclusively():
    f = CifFile()
    seen = []

    class Version:
        @property
        def name(self):
            for attr in ("version", "_blocks"):
                try:
                    getattr(f, attr)
                except RuntimeError as e:
                    seen.append(str(e))
            return "CIF_1_1"

    f.version = Version()
    assert seen == ["Already mutably borrowed"] * 2 and f.version is CifVersion.CIF_1_1


# --- deep copy -----------------------------------------------------------------------------


def sample_file():
    f = CifFile(CifVersion.CIF_1_1)
    for name in ("a", "a", "b"):
        b = CifBlock(name)
        b._append_value("_t", ["x", {"k": ["v"]}])
        b._add_loop(["_l"], {"_l": ["1", "2"]})
        for fname in ("s", "s"):
            s = CifSaveFrame(fname)
            s._append_value("_q", [1])
            b._add_save_frame(s)
        f._add_block(b)
    return f


def test_deepcopy_structure_and_independence():
    src = sample_file()
    src._blocks.clear()  # never read: rebuilt from the list
    src._block_list[2]._id = 7
    cp = src.deepcopy()
    assert cp.version is CifVersion.CIF_1_1 and cp.blocks == ["a", "a", "b"]
    assert [b._id for b in cp._block_list] == [0, 1, 7]
    assert cp._blocks == {"a": cp._block_list[0], "b": cp._block_list[2]}
    for s, c in zip(src._block_list, cp._block_list):
        assert type(c) is CifBlock and c is not s
        assert (c._tags, c._loops, c._tag_order) == (s._tags, s._loops, s._tag_order)
        assert c._tags["_t"][0][1]["k"] is not s._tags["_t"][0][1]["k"]
        assert [x._id for x in c._save_frame_list] == [0, 1]
        assert c._save_frames == {"s": c._save_frame_list[0]}
        assert c._save_frame_list[0] is not s._save_frame_list[0]
    cp._block_list[0]._tags["_t"].append("new")
    assert src._block_list[0]._tags["_t"] == [["x", {"k": ["v"]}]]
    assert CifFile().deepcopy().blocks == []
    shared = ["v"]  # stand-ins are copied too, each container on its own
    src._block_list = [element(_id=3, _tags={"_a": shared, "_b": shared}, _tag_order=shared)]
    block = src.deepcopy()._block_list[0]
    assert type(block) is CifBlock and block._id == 3
    assert block._tags["_a"] is block._tags["_b"] and block._tag_order is not block._tags["_a"]


@pytest.mark.parametrize(
    ("blocks", "error"),
    [((), TypeError),
     ([element(_save_frame_list=...)], AttributeError),
     ([element(_save_frame_list=())], TypeError),
     ([element(_id="1")], TypeError),
     ([element(_id=-1)], OverflowError),
     ([element(name=b"n")], TypeError),
     ([element(_save_frame_list=[element(_id=2**64)])], OverflowError),
     ([element(_tags=(i for i in ()))], TypeError)],  # copy.deepcopy refuses a generator
)
def test_deepcopy_errors(blocks, error):
    f = CifFile()
    f._block_list = blocks
    with pytest.raises(error):
        f.deepcopy()
    assert f._block_list is blocks


def test_deepcopy_borrows_only_the_file():
    f = sample_file()
    block = f._block_list[0]

    class Hook:
        def __init__(self, target, attr):
            self.target, self.attr = target, attr

        def __deepcopy__(self, memo):
            setattr(self.target, self.attr, {})
            return "copied"

    block._tags["_t"] = [Hook(f, "_blocks")]
    with pytest.raises(RuntimeError, match="Already borrowed"):
        f.deepcopy()
    block._tags["_t"] = [Hook(block, "_save_frames")]
    assert f.deepcopy()._block_list[0]._tags["_t"] == ["copied"]
    with pytest.raises(TypeError):
        f.deepcopy(1)


def test_deep_values_and_long_chains_do_not_crash():
    deep = []
    for _ in range(100_000):
        deep = [deep]
    b = CifBlock("b")
    b._append_value("_d", deep)
    f = CifFile()
    f._add_block(b)
    try:
        f.deepcopy()
    except RecursionError:
        pass
    head = CifSaveFrame("0")
    for i in range(300_000):
        head, head._tags = CifBlock(str(i)), head
    del head  # released one C frame per link, this would overflow the stack


# --- leaks ---------------------------------------------------------------------------------


def memory_growth(fn, n):
    """Python allocations grown per batch of n calls, as a trend (conftest.growth_trend)."""
    return growth_trend(fn, n)[0]


def test_repeated_failing_calls_do_not_leak():
    f = sample_file()
    b = f._block_list[0]
    bad = CifFile()
    bad._block_list = [element(_id="x")]
    key = "_Missing_Key"
    calls = [lambda: b[key], lambda: f["nope"], lambda: b._add_loop(["_a", 3], {}),
             lambda: b._add_loop(["_a"], []), lambda: b._append_value(3, key),
             lambda: bad.deepcopy(), lambda: CifBlock(key, id=-1), lambda: CifFile(key),
             lambda: f.get_all(3), lambda: b.get_all(key), lambda: f.deepcopy()]

    def attempts():
        for call in calls:
            try:
                call()
            except (KeyError, TypeError, OverflowError, AttributeError):
                pass

    watched = [key, b, f, b._tags["_t"]]
    attempts()
    before = [sys.getrefcount(o) for o in watched]
    assert memory_growth(attempts, 1000) < 8 * 1000  # less than one small object per call
    assert [sys.getrefcount(o) for o in watched] == before


# --- parse_cif -----------------------------------------------------------------------------


def test_parse_cif_shapes():
    f, errors = tessrin_core.parse_cif("")
    assert (f._block_list, f._blocks, errors, f.version) == ([], {}, [], CifVersion.CIF_1_1)
    text = ("data_Dup _One x loop_ _L1 _L2 1 2 3 4 loop_ _e1 _e2 save_s1 _y 2 save_ "
            "data_DUP save_S2 save_ save_s2 save_")
    f, errors = tessrin_core.parse_cif(text)
    assert f.blocks == ["dup", "dup"] and [b._id for b in f._block_list] == [0, 1]
    assert f["dUp"] is f._block_list[0] and f.get_all("DUP") == f._block_list
    b, second = f._block_list
    assert b["_ONE"] == ["x"] and b["_l1"] == ["1", "3"] and b["_e1"] == []
    assert b._loops == [["_l1", "_l2"], ["_e1", "_e2"]] and b._tags["_e1"] is not b._tags["_e2"]
    assert [s._id for s in second._save_frame_list] == [0, 1]
    assert second["S2"] is second._save_frame_list[0]
    actions = {e["recovery_action"] for e in errors}
    assert {"duplicate block stored with distinct internal id",
            "duplicate save frame stored with distinct internal id"} <= actions
    keys = ["error_type", "message", "line", "column", "context", "recovery_action"]
    assert all(list(e) == keys for e in errors)


def frame_view(obj):
    return {"name": obj.name, "tag_order": obj._tag_order, "loops": obj._loops,
            "tags": obj._tags}


def assert_agrees_with_raw(text):
    f, errors = tessrin_core.parse_cif(text)
    raw = tessrin_core.parse_raw(text)
    assert errors == raw["errors"] and f.version.name == raw["version"]
    assert len(f._block_list) == len(raw["blocks"])
    for i, (b, rb) in enumerate(zip(f._block_list, raw["blocks"])):
        assert b._id == i
        assert frame_view(b) == {k: rb[k] for k in ("name", "tag_order", "loops", "tags")}
        assert [frame_view(s) for s in b._save_frame_list] == rb["save_frames"]
        assert [s._id for s in b._save_frame_list] == list(range(len(rb["save_frames"])))
        assert b._save_frames == {s.name: s for s in reversed(b._save_frame_list)}
    assert f._blocks == {b.name: b for b in reversed(f._block_list)}
    return f


RICH = [
    (
        "#\\#CIF_2.0\ndata_x _list [1 [2 3] {'k':v 'K':w 'k':z}] _t {}\n"
        "loop_ _a _b [x] {'q':[]} 2 3\nsave_Fr _s ;\ntext\n; save_ save_fr save_"
    ),
    "data_one _a 1 data_two loop_ _p _q 1 2 3 save_x _r 'q' save_ _late 4",
    "data_u _Ünïcode 'ΣΑΣ' _x \"a b\"\n_y ;\n line\n;\n",
    "_orphan 1 data_ _bad [ loop_ _z",
]
CORPUS_FILES = [
    "mmcif-big/small/1cbs.cif",
    "mmcif-big/medium/biopython/1A7G.cif",
    "cif2-syntax/comcifs-DDLm/ddl.dic",
    "cif2-syntax/pycifrw-unicode-tests/ciftest1",
    "cif2-syntax/comcifs-misc/cif_syntax_check_action-test.cif",
]


@pytest.mark.parametrize("source", RICH + CORPUS_FILES)
def test_parse_cif_agrees_with_parse_raw(source):
    if source in CORPUS_FILES:
        if not (CORPUS / source).is_file():
            pytest.skip(f"{source} not available")
        source = (CORPUS / source).read_text(encoding="utf-8", errors="replace")
    f = assert_agrees_with_raw(source)
    cp = f.deepcopy()
    assert [frame_view(b) for b in cp._block_list] == [frame_view(b) for b in f._block_list]
    for b in f._block_list:
        for tag in b._tag_order:
            if tag.upper().lower() == tag:
                assert b[tag.upper()] is b._tags[tag]


def test_parse_cif_repeated_is_flat():
    text = RICH[0] * 10
    assert memory_growth(lambda: tessrin_core.parse_cif(text)[0].deepcopy(), 300) < 8 * 300


class Marker:
    pass


@pytest.mark.parametrize(
    "tie",
    [
        lambda f, b, m: b._tags.__setitem__("_s", [b, m]),
        lambda f, b, m: setattr(b._save_frames["s"], "_tags", {"_s": [f, m]}),
        lambda f, b, m: f._block_list.append([f, m]),
    ],
    ids=["block", "save frame", "file"],
)
def test_cycles_through_the_model_are_collected(tie):
    f = tessrin_core.parse_cif("data_x _a 1 save_s _b 2 save_")[0]
    marker = Marker()
    tie(f, f["x"], marker)
    alive = weakref.ref(marker)
    del f, marker
    gc.collect()
    assert alive() is None
