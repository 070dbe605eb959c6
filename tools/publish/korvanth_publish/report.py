"""Machine-readable output: `--json` makes a command print one JSON document
on stdout and nothing else there (progress and warnings stay on stderr), so
that a CI step can read stdout whole. Each command's document is described
by schemas/<command>.schema.json beside this file; exit codes are the same
as without --json. A command that fails before its verdict (a bad option,
an unreadable key) prints nothing on stdout and its error on stderr."""

import json
import os
import sys

from .common import shown

SCHEMAS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "schemas")


def add_json_option(p):
    p.add_argument("--json", action="store_true",
                   help="print one JSON document on stdout instead of text (its schema: "
                        "schemas/%s.schema.json in the package)" % p.prog.split()[-1])


def printable(value):
    """The document with every text valid UTF-8: a file name that is not
    (its bytes kept as lone surrogates) would become a \\udcxx escape that
    strict JSON readers refuse; it is shown with \\xNN for those bytes, as
    messages show it."""
    if isinstance(value, str):
        return shown(value)
    if isinstance(value, dict):
        return {printable(k): printable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [printable(v) for v in value]
    return value


def print_json(doc):
    # UTF-8 whatever the locale: JSON's own encoding.
    sys.stdout.flush()
    sys.stdout.buffer.write((json.dumps(printable(doc), indent=2, ensure_ascii=False) + "\n")
                            .encode("utf-8"))
    sys.stdout.buffer.flush()


def schema_path(command):
    return os.path.join(SCHEMAS, command + ".schema.json")
