"""The object model returned by parse_cif."""
