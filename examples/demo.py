"""Streams a CIF file through tessrin_core.parse and prints every event and diagnostic."""

import sys

import tessrin_core


class Printer:
    def __getattr__(self, event):
        if event.startswith("__"):
            raise AttributeError(event)

        def show(*args):
            shown = ", ".join(getattr(a, "name", None) or repr(a) for a in args)
            print(f"  {event}({shown})")

        return show

    def on_error(self, error):
        print(f"  !! {error}  [{error.recovery_action}]")


for path in sys.argv[1:]:
    with open(path, encoding="utf-8") as f:
        text = f.read()
    print(f"{path}:")
    version = tessrin_core.parse(text, Printer())
    print(f"  -> {version.name}")
