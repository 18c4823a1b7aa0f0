"""Repeated calls of every entry function, every object-model operation and every error path
leave memory where it was: Python allocations (tracemalloc), resident size, the Arrow pool,
and the reference counts of the objects every call shares (the handler, the ValueType and
CifVersion members, ParseError, the model classes, pyarrow.RecordBatchReader)."""

import gc
import gzip
import resource
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import pyarrow as pa
import pytest

import tessrin
import tessrin.types
from conftest import HANDLER_METHODS, UNDER_ASAN, growth_trend, tessrin_core
from conftest import traced as traced_bytes
from tessrin.cifmodel.model import CifBlock, CifFile, CifSaveFrame
from tessrin.convert import archive as _archive
from tessrin.convert.options import ConvertOptions
from tessrin.types import CifVersion, ParseError, ValueType

PAGE = resource.getpagesize()

# Every kind of value, container, frame, recovery and semantic diagnostic, with some 800
# diagnostics, so that a native leak per value or per diagnostic shows in the resident size.
HEAD = (
    "#\\#CIF_2.0\n"
    "data_Rich\n_plain value _quoted 'a b' _dq \"c\" _triple '''x\ny''' _tq \"\"\"z\"\"\"\n"
    "_field\n;\\\\\nfolded \\\n line\n;\n_list [1 [2 {'k':v 'K':[]}] . ?] _dot '.'\n"
    "loop_ _l.a _l.b 1 2 3\nsave_Frame _f.x 1 loop_ _g.y [a] {'q':r} save_\n"
    "save_frame _f.y 2 save_\n_bad {'k' 1 [2 : ] } 'orphan' _gap\n_x 'open\n"
)
RICH = HEAD + "data_rich _t [ {\n_u 1\nstop_ save_ loop_ 5\n" * 100 + "data_ÄÖ _é 'ü' _n \0x\n"
BAD_UTF8 = b"data_a _x caf\xe9\n"


class Handler:
    """Takes every call and keeps nothing."""


for _name in HANDLER_METHODS:
    setattr(Handler, _name, lambda self, *args: None)

HANDLER = Handler()


class Boom(Exception):
    pass


class Raising(Handler):
    def add_value(self, value, kind):
        raise Boom


class Partial:
    """Lacks every method but on_data_block: the first other event fails."""

    def on_data_block(self, name):
        pass


def watched():
    """The objects every call shares, looked up afresh."""
    return [
        HANDLER, Handler, ParseError, tessrin.types, *ValueType, *CifVersion, ValueType,
        CifVersion, pa.RecordBatchReader, CifFile, CifBlock, CifSaveFrame,
        *(getattr(tessrin_core, name) for name in ("parse", "parse_raw", "parse_arrow")),
    ]  # fmt: skip


def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def assert_flat(call, rounds, rss_limit=4 << 20):
    """Judged as a trend (conftest.growth_trend): Python allocations grow by less than one
    small object per call, resident size by less than 4 MB, the Arrow pool not at all; the
    reference counts of the shared objects are exactly where they were."""
    call()
    gc.collect()
    refs = [sys.getrefcount(obj) for obj in watched()]
    traced, rss, arrow = growth_trend(call, rounds, (traced_bytes, resident, pa.total_allocated_bytes))
    gc.collect()
    assert [sys.getrefcount(obj) for obj in watched()] == refs
    assert traced < 8 * rounds, f"Python allocations grew by {traced} bytes per batch"
    assert UNDER_ASAN or rss < rss_limit, f"resident size grew by {rss} bytes per batch"
    assert arrow <= 0, f"the Arrow pool grew by {arrow} bytes per batch"


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("leaks")
    (folder / "rich.cif").write_text(RICH, encoding="utf-8")
    (folder / "bad.cif").write_bytes(BAD_UTF8)
    (folder / "nul-tag.cif").write_text("data_a _a\0b 1\n", encoding="utf-8")
    return folder


ENTRIES = {
    "parse": lambda f: tessrin_core.parse(RICH, HANDLER),
    "parse_raw": lambda f: tessrin_core.parse_raw(RICH),
    "parse_raw strict": lambda f: tessrin_core.parse_raw(RICH, mode="strict"),
    "parse_cif": lambda f: tessrin_core.parse_cif(RICH),
    "parse_cif strict": lambda f: tessrin_core.parse_cif(RICH, "strict"),
    "parse_arrow": lambda f: tessrin_core.parse_arrow(RICH),
    "parse_arrow strict": lambda f: tessrin_core.parse_arrow(RICH, "strict"),
    "parse_arrow_file": lambda f: tessrin_core.parse_arrow_file(str(f / "rich.cif")),
    # A NUL in a tag is a diagnostic and U+FFFD in the field name, no longer an error path.
    "parse_arrow NUL in a tag": (
        lambda f: tessrin_core.parse_arrow("data_a _x 1 loop_ _l 1 2 data_b _a\0b 1")),
    "parse_arrow_file NUL in a tag": (
        lambda f: tessrin_core.parse_arrow_file(str(f / "nul-tag.cif"))),
    "parse_tables": lambda f: tessrin_core.parse_tables(RICH),
    "parse_tables strict": lambda f: tessrin_core.parse_tables(RICH, "strict"),
    "parse_tables_file": lambda f: tessrin_core.parse_tables_file(str(f / "rich.cif")),
}


@pytest.mark.parametrize("entry", ENTRIES)
def test_entry_functions(entry, files):
    call = ENTRIES[entry]
    assert_flat(lambda: call(files), rounds=60)


class RaisingOnError(Handler):
    def on_error(self, error):
        raise Boom


# (call, exception it must raise), each taking the folder of test files.
ERROR_PATHS = {
    "handler raises": (lambda f: tessrin_core.parse(RICH, Raising()), Boom),
    "handler lacks methods": (lambda f: tessrin_core.parse(RICH, Partial()), AttributeError),
    "on_error raises": (lambda f: tessrin_core.parse("data_a _x", RaisingOnError()), Boom),
    "max_errors not int": (lambda f: tessrin_core.parse_raw("data_a", None, "1"), TypeError),
    "source not str": (lambda f: tessrin_core.parse(b"data_a", HANDLER), TypeError),
    "missing handler": (lambda f: tessrin_core.parse("data_a"), TypeError),
    "unknown keyword": (lambda f: tessrin_core.parse_raw("data_a", other=1), TypeError),
    "doubled argument": (lambda f: tessrin_core.parse_raw("data_a", source="x"), TypeError),
    "too many": (lambda f: tessrin_core.parse_cif("data_a", None, None, None), TypeError),
    "mode not str": (lambda f: tessrin_core.parse_cif("data_a", 1), TypeError),
    "lone surrogate": (lambda f: tessrin_core.parse_arrow("data_a _x \ud800"), UnicodeError),
    "file missing": (lambda f: tessrin_core.parse_arrow_file(str(f / "none.cif")), OSError),
    "file not UTF-8": (lambda f: tessrin_core.parse_arrow_file(str(f / "bad.cif")), OSError),
    "file is a folder": (lambda f: tessrin_core.parse_arrow_file(str(f)), OSError),
    "path with NUL": (lambda f: tessrin_core.parse_arrow_file("a\0b"), ValueError),
    "path not a path": (lambda f: tessrin_core.parse_arrow_file(3), TypeError),
}  # fmt: skip


@pytest.mark.parametrize("path", ERROR_PATHS)
def test_error_paths(path, files):
    call, error = ERROR_PATHS[path]

    def attempt():
        try:
            call(files)
        except error:
            return
        raise AssertionError(f"{path}: no {error.__name__}")

    assert_flat(attempt, rounds=300)


class EvilKey:
    """A stored dict key that collides with "_a" and assigns the object being read."""

    def __init__(self, action):
        self.action = action

    def __hash__(self):
        return hash("_a")

    def __eq__(self, other):
        self.action()
        return False


def model_operations():
    """Every operation of the three classes once, the failing ones included."""
    cif_file, _ = tessrin_core.parse_cif(HEAD)
    block = cif_file["rich"]
    frame = block["frame"]
    failures = []

    def fails(error, call):
        try:
            call()
        except error:
            return
        failures.append(call)

    # reads, lookups and views
    reads = [
        cif_file.version, cif_file.blocks, cif_file._blocks, cif_file._block_list,
        block.name, block._id, block.tags, block.loops, block.save_frames, block._save_frames,
        frame.name, frame.tags, frame.loops, frame["_F.X"], "_f.x" in frame, "frame" in block,
        block["_PLAIN"], "_plain" in block, "RICH" in cif_file, cif_file.get_all("RICH"),
        block.get_all("FRAME"),
    ]  # fmt: skip
    assert all(read is not None for read in reads)
    fails(KeyError, lambda: cif_file["missing"])
    fails(KeyError, lambda: block["_missing"])
    fails(KeyError, lambda: frame["_missing"])
    fails(TypeError, lambda: block[1])
    fails(TypeError, lambda: 1 in frame)
    fails(TypeError, lambda: cif_file.get_all(1))
    # construction and setters
    new_file = CifFile(version=CifVersion.CIF_2_0)
    new_block = CifBlock("New", id=3)
    new_frame = CifSaveFrame(name="f")
    new_file.version = CifVersion.CIF_1_1
    new_block.name, new_block._id = "renamed", 4
    new_frame._tags, new_frame._tag_order, new_frame._loops = {}, [], []
    new_block._save_frames, new_block._save_frame_list = {}, []
    new_file._blocks, new_file._block_list = {}, []
    fails(TypeError, lambda: CifBlock(1))
    fails(OverflowError, lambda: CifBlock("b", id=-1))
    fails(TypeError, lambda: CifSaveFrame("f", bad=1))
    fails(TypeError, lambda: CifFile(1, 2))
    fails(AttributeError, lambda: CifFile(version=object()))
    fails(AttributeError, lambda: delattr(new_block, "_tags"))
    fails(TypeError, lambda: setattr(new_block, "name", 5))
    # mutators
    new_frame._append_value("_a", "1")
    new_frame._append_value(tag="_a", value=["2"])
    new_frame._add_loop(["_l", "_m"], {"_l": ["1"]})
    new_block._append_value("_b", "1")
    new_block._add_loop(tags=("_c",), buffers={})
    new_block._add_save_frame(new_frame)
    new_file._add_block(new_block)
    fails(TypeError, lambda: new_frame._append_value(1, 2))
    fails(TypeError, lambda: new_frame._add_loop("_l", {}))
    fails(TypeError, lambda: new_frame._add_loop(["_l", 2], {}))
    fails(AttributeError, lambda: new_block._add_save_frame(object()))
    bad = CifSaveFrame("bad")
    bad._tags = []
    fails(TypeError, lambda: bad._append_value("_a", 1))
    # deep copy, also of a file whose element is not a block
    copy = cif_file.deepcopy()
    assert copy.blocks == cif_file.blocks
    broken = CifFile()
    broken._block_list = [object()]
    fails(AttributeError, broken.deepcopy)
    # the borrow flag: code run by a key's comparison cannot replace the fields being read
    evil = CifSaveFrame("evil")
    evil._tags = {EvilKey(lambda: setattr(evil, "_tags", {})): 1}
    fails(RuntimeError, lambda: evil["_a"])
    evil._tags = {}  # the classes take no part in the cyclic collector: break the cycle by hand
    assert not failures, failures


def test_object_model():
    assert_flat(model_operations, rounds=150)


def test_parse_result_survives_its_handler_dropping_itself():
    # A handler that drops the last outside reference to itself mid-parse stays alive to the
    # end of the call, and is released afterwards.
    holder = {}

    class SelfDropping(Handler):
        def add_value(self, value, kind):
            holder.clear()

    def call():
        holder["h"] = SelfDropping()
        tessrin_core.parse("data_a _x 1 _y 2", holder["h"])
        assert not holder

    assert_flat(call, rounds=300)


# --- what is kept between calls, and release_memory ------------------------------------------


def big_mmcif(rows):
    """An mmCIF-like text of about 100 bytes per row."""
    lines = [
        f"ATOM {i} C CA . ALA A 1 {i % 997} ? {i * 0.001:.3f} {i * 0.002:.3f} -{i * 0.003:.3f} "
        f"1.00 {i % 80 + 10.5:.2f} ? 1 ALA A CA 1"
        for i in range(rows)
    ]
    names = ["group_PDB", "id", "type_symbol", "label_atom_id", "label_alt_id", "label_comp_id",
             "label_asym_id", "label_entity_id", "label_seq_id", "pdbx_PDB_ins_code", "Cartn_x",
             "Cartn_y", "Cartn_z", "occupancy", "B_iso_or_equiv", "pdbx_formal_charge",
             "auth_seq_id", "auth_comp_id", "auth_asym_id", "auth_atom_id", "pdbx_PDB_model_num"]
    header = "data_big\nloop_\n" + "".join(f"_atom_site.{n}\n" for n in names)
    return header + "\n".join(lines) + "\n"


@pytest.fixture(scope="module")
def work(tmp_path_factory):
    """Every kind of work that fills a kept cache, on a text of `rows` rows."""
    folder = tmp_path_factory.mktemp("kept")
    dictionary = folder / "d.dic"
    dictionary.write_text(
        "data_d\nloop_\n_item_type_list.code\n_item_type_list.primitive_code\nfloat numb\n"
        "save__atom_site.Cartn_x\n_item.name '_atom_site.Cartn_x'\n_item_type.code float\n"
        "save_\n"
    )

    def run(rows):
        text = big_mmcif(rows)
        path, zipped = folder / f"{rows}.cif", folder / f"{rows}.cif.gz"
        path.write_text(text)
        zipped.write_bytes(gzip.compress(text.encode(), compresslevel=1))
        task = _archive.Task(key="", out=str(folder), inputs=(), options=ConvertOptions())
        tessrin_core.parse_raw(text)
        tessrin_core.parse_arrow_file(str(path))
        tessrin.dumps(tessrin_core.parse_raw(text))
        tessrin_core.parse_tables(text, types=str(dictionary))
        _archive._parse(str(zipped), task)
        gc.collect()

    return run


def test_release_memory_gives_back_what_calls_kept(work):
    work(200)  # imports, first-call set-up and the dictionary's first reading
    tessrin.release_memory()
    gc.collect()
    before = resident()
    work(200_000)  # some 20 MB of text
    assert tessrin.release_memory() > 0
    gc.collect()
    held = resident() - before
    assert UNDER_ASAN or held <= 32 << 20, f"{held >> 20} MiB still held"
    assert tessrin.release_memory() == 0  # nothing was kept since


def test_release_memory_while_other_threads_work(tmp_path):
    text = big_mmcif(5_000)
    (tmp_path / "t.cif.gz").write_bytes(gzip.compress(text.encode()))
    task = _archive.Task(key="", out=str(tmp_path), inputs=(), options=ConvertOptions())
    expected = tessrin.dumps(tessrin_core.parse_raw(text))
    rows = len(tessrin_core.parse_tables(text)[0]["atom_site"])
    stop = threading.Event()

    def release():
        while not stop.is_set():
            tessrin.release_memory()

    def write(_):
        return tessrin.dumps(tessrin_core.parse_raw(text)) == expected

    def read(_):
        return len(_archive._parse(str(tmp_path / "t.cif.gz"), task)[0]["atom_site"]) == rows

    releaser = threading.Thread(target=release)
    releaser.start()
    try:
        with ThreadPoolExecutor(2) as pool:
            results = list(pool.map(write, range(20))) + list(pool.map(read, range(20)))
    finally:
        stop.set()
        releaser.join()
    assert all(results)
