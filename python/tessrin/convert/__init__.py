"""`tessrin convert`: the command's conversions, not part of the package's API.

`file` converts one file (category tables, record batches or JSON lines), `tables` writes its
category tables, `to_cif` writes CIF back from a file or from Parquet tables, `archive` turns
many files into one Parquet dataset per category (`parts` are those datasets' files, `engines`
where the archive's tasks run). `names` makes every file and folder name written, `options`
holds how the inputs are read.
"""
