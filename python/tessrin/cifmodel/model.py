"""Home module of the object-model classes (they are implemented natively)."""

from tessrin_core import CifBlock, CifFile, CifSaveFrame

__all__ = ["CifBlock", "CifFile", "CifSaveFrame"]
