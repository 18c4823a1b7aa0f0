"""The package's shape: no module imports, however late, one that imports it back."""

import ast
from pathlib import Path

import tessrin

PACKAGE = Path(tessrin.__file__).parent


def _modules() -> dict[str, Path]:
    found = {}
    for path in PACKAGE.rglob("*.py"):
        parts = ("tessrin", *path.relative_to(PACKAGE).with_suffix("").parts)
        found[".".join(parts[:-1] if parts[-1] == "__init__" else parts)] = path
    return found


def _imports(name: str, path: Path, modules: dict) -> set[str]:
    """The package's modules `name` imports anywhere in its text, in a function too: an import
    put off until a call still closes a circle, only a later one."""
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    found = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                anchor = package.split(".")[: len(package.split(".")) - node.level + 1]
                base = ".".join(anchor + ([base] if base else []))
            found.update(
                f"{base}.{alias.name}" if f"{base}.{alias.name}" in modules else base
                for alias in node.names
            )
    return {m for m in found if m in modules and m != name}


def test_no_import_circles():
    modules = _modules()
    graph = {name: _imports(name, path, modules) for name, path in modules.items()}
    assert len(graph) > 10 and graph["tessrin.cli"]  # the walk found the package
    done: set[str] = set()

    def visit(name: str, path: list[str]) -> None:
        if name in path:
            raise AssertionError("import circle: " + " -> ".join(path[path.index(name):] + [name]))
        if name in done:
            return
        for imported in sorted(graph[name]):
            visit(imported, path + [name])
        done.add(name)

    for name in sorted(graph):
        visit(name, [])
