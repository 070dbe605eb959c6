"""The command line of korvanth-publish. Each command's module defines its
own arguments and the function that runs it (add_parser), so that a
command's usage is written once, where argparse prints it from."""

import argparse
import sys

from . import build, diff, keys, prune, release, status, upload, verify
from .common import Failure
from .version import version

# In the order `korvanth-publish --help` lists them.
COMMANDS = (release, build, verify, diff, status, prune, keys, upload)


def parser():
    ap = argparse.ArgumentParser(prog="korvanth-publish",
                                 description="Builds and checks signed Korvanth releases.",
                                 epilog="Each command's options: korvanth-publish COMMAND --help")
    ap.add_argument("--version", action="version", version="korvanth-publish " + version(),
                    help="print the tool's version (the project's) and exit")
    sub = ap.add_subparsers(dest="command", required=True)
    for module in COMMANDS:
        module.add_parser(sub)
    return ap


def main(argv=None):
    args = parser().parse_args(argv)
    try:
        return args.func(args)
    except Failure as e:
        print("korvanth-publish: %s" % e, file=sys.stderr)
        return 1
    except OSError as e:
        print("korvanth-publish: %s: %s" % (e.filename or "", e.strerror), file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("korvanth-publish: interrupted; the mirror tree is as it was", file=sys.stderr)
        return 130
