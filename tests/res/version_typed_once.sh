#!/bin/sh
# The launcher's version is typed once, in project(VERSION) of CMakeLists.txt;
# the code, the resources and the tests take it from the build. Fails when a
# tracked file spells it out elsewhere, dotted ("1.2.3", "1.2.3.0") or in the
# comma form of a version resource ("1,2,3,0"). Left out: the top
# CMakeLists.txt and the prose of README.md and docs/*.md.
#   version_typed_once.sh SOURCE_DIR VERSION
set -eu
src=$1
version=$2
case $version in
  *[!0-9.]* | "" ) echo "version_typed_once: odd version '$version'" >&2; exit 2 ;;
esac
dotted=$(printf '%s' "$version" | sed 's/\./\\./g')
commas=$(printf '%s' "$version" | tr . ,)
# Not part of a longer number: "10.2.3" or "1.2.34" is another version.
pattern="(^|[^0-9.,])($dotted|$commas)([^0-9]|\$)"

cd "$src"
list=$(mktemp)
trap 'rm -f "$list"' EXIT
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files >"$list"
else
  find . \( -name .git -o -name 'build*' \) -prune -o -type f -print | sed 's|^\./||' >"$list"
fi
hits=$(grep -vxE 'CMakeLists\.txt|README\.md|docs/[^/]*\.md' "$list" |
       tr '\n' '\0' | xargs -0 grep -nIE "$pattern" -- 2>/dev/null || true)
if [ -n "$hits" ]; then
  echo "the version $version is typed outside CMakeLists.txt:"
  printf '%s\n' "$hits"
  exit 1
fi
echo "ok"
