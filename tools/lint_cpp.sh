#!/usr/bin/env bash
# The C++ checks of `make lint`: the curated clang-tidy (.clang-tidy) over every file of src/,
# and clang-format (.clang-format) over the C++ files changed since the commit in
# .ci/format-base, so formatting is enforced file by file as files are touched rather than by
# one reformatting of the whole tree. Exits non-zero on any finding.
#   tools/lint_cpp.sh BUILD_DIR   (a configured CMake tree with compile_commands.json)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: tools/lint_cpp.sh BUILD_DIR}
jobs=$(nproc)
status=0

tidy=$(command -v clang-tidy || command -v clang-tidy-14 || true)
format=$(command -v clang-format || command -v clang-format-14 || true)
if [[ -z $tidy || -z $format ]]; then
  echo "lint: clang-tidy and clang-format are needed (Debian: apt-get install clang-tidy clang-format)" >&2
  exit 2
fi

# Translation units of src/ only: the vendored nanoarrow and the generated tables are not ours
# to restyle. Headers are checked through them (HeaderFilterRegex in .clang-tidy).
mapfile -t units < <(git ls-files 'src/*.cpp')
echo "clang-tidy: ${#units[@]} files"
if ! printf '%s\n' "${units[@]}" |
    xargs -P "$jobs" -n 4 "$tidy" -p "$build" --quiet --warnings-as-errors='*' 2>/dev/null; then
  status=1
fi

base=$(cat .ci/format-base)
if ! git cat-file -e "$base^{commit}" 2>/dev/null; then
  # A shallow clone lacks the base: say so rather than pass or fail on a guess.
  echo "clang-format: skipped, commit $base is not in this clone (clone with full history)" >&2
  exit $status
fi
mapfile -t changed < <(
  { git diff --name-only --diff-filter=d "$base" -- src fuzz bench; git ls-files --others --exclude-standard -- src fuzz bench; } |
  grep -E '\.(cpp|hpp)$' | sort -u)
echo "clang-format: ${#changed[@]} files changed since ${base:0:12}"
if ((${#changed[@]})) && ! "$format" --dry-run --Werror "${changed[@]}"; then
  status=1
fi
exit $status
