"""The names conversion gives files and folders: one rule for categories, blocks and inputs."""

import re

import pytest
from hypothesis import given
from hypothesis import strategies as st

from tessrin._run import input_stem
from tessrin.convert.file import output_dirs
from tessrin.convert.names import distinct_names, name_hash, safe_name
from tessrin.convert.parts import dataset_name
from tessrin.convert.tables import table_file_names

# `#` stands for the name's hash: there, and only there, the name was changed.
CATEGORIES = [
    # The names categories have in mmCIF and coreCIF files are kept as archives store them.
    ("atom_site", "atom_site", "atom_site.parquet"),
    ("pdbx_struct_oper_list", "pdbx_struct_oper_list", "pdbx_struct_oper_list.parquet"),
    ("Atom_Site", "atom_site", "atom_site.parquet"),
    ("_unknown", "_unknown", "unknown-#.parquet"),  # a table file is never hidden
    ("[local]_category", "_local__category-#", "local__category-#.parquet"),
    ("a-b", "a_b-#", "a_b-#.parquet"),
    ("../..", "_-#", "unnamed-#.parquet"),
    ("", "unnamed-#", "unnamed-#.parquet"),
    ('a<b>c:d"e|f?g*h\\i', "a_b_c_d_e_f_g_h_i-#", "a_b_c_d_e_f_g_h_i-#.parquet"),
    ("tab\x01ctl. ", "tab_ctl_-#", "tab_ctl_-#.parquet"),
    ("\u00e5ngstr\u00f6m", "_ngstr_m-#", "ngstr_m-#.parquet"),
    ("con", "con-#", "con-#.parquet"),  # names Windows keeps for devices
    ("Com1", "com1-#", "com1-#.parquet"),
    ("console", "console", "console.parquet"),
    ("_diagnostics", "_diagnostics-#", "diagnostics-#.parquet"),  # the converter's own
    ("diagnostics", "diagnostics", "diagnostics-#.parquet"),
    ("x" * 81, "x" * 80 + "-#", "x" * 80 + "-#.parquet"),
]


@pytest.mark.parametrize("category, dataset, table", CATEGORIES)
def test_category_names(category, dataset, table):
    digest = name_hash(category.lower())
    assert dataset_name(category) == dataset.replace("#", digest)
    assert table_file_names([category], ".parquet") == [table.replace("#", digest)]


# Letters, digits, `_` and what file systems refuse or fold (separators, controls, `<>:"|?*`,
# dots and spaces at the end, case, accents).
NAMES = st.text(st.sampled_from('nuLaZ09_-./\\:<>"|?* \x00\x1f\u00e9\u212a'), max_size=12)
SAFE = re.compile(r"[A-Za-z0-9_]+(-[0-9a-f]{8})?")


@given(st.lists(NAMES, min_size=2, max_size=6, unique=True), st.booleans())
def test_names_are_safe_and_apart(names, visible):
    made = [safe_name(name, 8, visible=visible) for name in names]
    assert len(set(made)) == len(made)
    for name, result in zip(names, made):
        assert SAFE.fullmatch(result) and len(result) <= 8 + 9
        assert result.lower() != "nul"
        assert not (visible and result.startswith("_"))
        assert (result == name) == ("-" not in result)  # kept, or marked as changed


@given(st.lists(NAMES, max_size=8))
def test_distinct_names_are_apart_without_regard_to_case(names):
    made = distinct_names(names)
    assert len({m.lower() for m in made}) == len(made)
    first = {}
    for name, result in zip(names, made):
        stem = safe_name(name)
        # The first of names alike keeps its safe name; the others get -2, -3, ...
        assert result == stem if stem.lower() not in first else re.fullmatch(
            re.escape(stem) + r"-[0-9]+", result)
        first.setdefault(stem.lower(), result)


@pytest.mark.parametrize("files, dirs", [
    (["a/1abc.cif", "b/1abc.cif.gz", "1ABC.cif"], ["1abc", "1abc-2", "1ABC-3"]),
    (["AF-O49373-F1.cif", "AF_O49373_F1.cif"], ["AF_O49373_F1-#", "AF_O49373_F1"]),
])
def test_output_dirs_are_apart_on_every_file_system(files, dirs):
    """One folder per input, none the same as another where case does not count."""
    made = [p.rsplit("/", 1)[1] for p in output_dirs(files, "out")]
    assert made == [d.replace("#", name_hash(input_stem(f))) for d, f in zip(dirs, files)]
