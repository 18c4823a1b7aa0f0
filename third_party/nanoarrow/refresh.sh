#!/bin/sh
# Regenerates the vendored nanoarrow bundle (include/, src/) from the `nanoarrow` source
# distribution on PyPI: its C library lives in subprojects/arrow-nanoarrow, whose bundler
# writes nanoarrow.h, nanoarrow.hpp and nanoarrow.c with our symbol prefix baked in, so these
# symbols never clash with another copy of nanoarrow loaded in the same process.
# Usage: third_party/nanoarrow/refresh.sh [VERSION]   (default: the one in VERSION)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
version=${1:-$(cat "$here/VERSION")}
python=${PYTHON:-python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$python" -m pip download -q --no-deps --no-binary :all: --no-build-isolation \
  -d "$work" "nanoarrow==$version"
tar -xzf "$work/nanoarrow-$version.tar.gz" -C "$work"
"$python" "$work/nanoarrow-$version/subprojects/arrow-nanoarrow/ci/scripts/bundle.py" \
  --output-dir "$work/bundle" --symbol-namespace=TessrinNanoarrow

rm -rf "$here/include" "$here/src"
cp -R "$work/bundle/include" "$work/bundle/src" "$here/"
echo "$version" > "$here/VERSION"
echo "nanoarrow $version vendored in $here"
