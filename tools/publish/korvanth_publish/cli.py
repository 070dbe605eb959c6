"""The command line of korvanth-publish."""

import argparse
import os
import sys

from .chunks import DEFAULT_MIN_FILE
from . import keys, upload
from .common import Failure

USAGE = """\
  korvanth-publish keygen KEY.pem
  korvanth-publish build --client DIR --rules RULES --key KEY.pem --version NAME
                         --out MIRROR [--generated YYYY-MM-DDTHH:MM:SSZ]
                         [--mirror URL]... [--launcher EXE] [--jobs N]
                         [--compression zlib9|best] [--against OLD_MIRROR] [--quiet]
                         [--no-chunks] [--chunk-min-file BYTES] [--chunker PATH]
                         [--expires-in DAYS] [--force]
  korvanth-publish verify --pubkey KEY.pub.pem MIRROR
  korvanth-publish diff [--interface 0|1] [--dxvk 0|1] [--list] [--chunker PATH]
                        OLD_MIRROR|VERSION NEW_MIRROR|VERSION
  korvanth-publish upload [--dry-run] [--bwlimit RATE] [--transfers N] [--quiet]
                          MIRROR_TREE DEST...
  korvanth-publish status --pubkey KEY.pub.pem [--cafile CA.pem] [--objects] URL...
  korvanth-publish prune [--keep N] [--dry-run] MIRROR|RCLONE_DEST
  korvanth-publish keys init ROOT.pem
  korvanth-publish keys add --root ROOT.pem --out MIRROR [--id ID] RELEASE.pub.pem
  korvanth-publish keys revoke --root ROOT.pem --out MIRROR ID
  korvanth-publish keys show [--root ROOT.pub.pem]... MIRROR
      (add and revoke: [--previous-root ROOT.pub.pem]... [--generated TIME])"""


def cpu_count():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def add_player(p):
    p.add_argument("--chunker", metavar="PATH", default=os.environ.get("KORVANTH_CHUNKER"),
                   help="the native korvanth-chunk to cut files with (default: "
                        "$KORVANTH_CHUNKER, else built from tools/chunker into the cache "
                        "folder when needed)")
    p.add_argument("--interface", type=int, choices=(0, 1), default=0,
                   help="count for players with the custom interface (default: stock)")
    p.add_argument("--dxvk", type=int, choices=(0, 1), default=0,
                   help="count for players with the Vulkan renderer on")
    p.add_argument("--list", action="store_true", help="name every file of the patch")


def parser():
    ap = argparse.ArgumentParser(prog="korvanth-publish", usage=USAGE,
                                 description="Builds and checks signed Korvanth releases.")
    sub = ap.add_subparsers(dest="command", required=True)
    p = sub.add_parser("keygen", help="make a P-256 signing key pair")
    p.add_argument("key", metavar="KEY.pem")
    p = sub.add_parser("build", help="publish a client folder into a mirror tree")
    p.add_argument("--client", required=True, metavar="DIR")
    p.add_argument("--rules", required=True, metavar="RULES")
    p.add_argument("--key", required=True, metavar="KEY.pem")
    p.add_argument("--version", required=True, metavar="NAME")
    p.add_argument("--out", required=True, metavar="MIRROR")
    p.add_argument("--generated", metavar="YYYY-MM-DDTHH:MM:SSZ")
    p.add_argument("--mirror", action="append", default=[], metavar="URL")
    p.add_argument("--launcher", metavar="EXE")
    p.add_argument("--jobs", type=int, default=cpu_count(), metavar="N",
                   help="worker processes (default: every core, %d here)" % cpu_count())
    p.add_argument("--compression", choices=("zlib9", "best"), default="zlib9",
                   help="best: the stronger libdeflate encoder where it saves bytes")
    p.add_argument("--against", metavar="OLD_MIRROR|VERSION",
                   help="also print what players of an older release download: a mirror "
                        "tree, or a version kept in --out's releases/")
    p.add_argument("--quiet", action="store_true", help="print nothing but errors")
    p.add_argument("--no-chunks", action="store_true",
                   help="publish large files as whole objects only")
    p.add_argument("--chunk-min-file", type=int, default=DEFAULT_MIN_FILE, metavar="BYTES",
                   help="cut files of at least this size into chunks as well (default %d, "
                        "4 MiB)" % DEFAULT_MIN_FILE)
    p.add_argument("--expires-in", type=int, metavar="DAYS",
                   help="launchers warn that the mirrors may be out of date DAYS days after "
                        "--generated")
    p.add_argument("--force", action="store_true",
                   help="replace a published version, or publish a release not newer than "
                        "the tree's current one")
    add_player(p)
    p = sub.add_parser("verify", help="check a mirror tree")
    p.add_argument("--pubkey", required=True, metavar="KEY.pub.pem")
    p.add_argument("mirror", metavar="MIRROR")
    p = sub.add_parser("diff", help="what players of OLD_MIRROR download to get NEW_MIRROR")
    add_player(p)
    p.add_argument("old", metavar="OLD_MIRROR")
    p.add_argument("new", metavar="NEW_MIRROR")
    p = sub.add_parser("status", help="what each mirror serves, checked over HTTPS")
    p.add_argument("--pubkey", required=True, action="append", metavar="KEY.pub.pem",
                   help="the release key, or the root key that signs the mirrors' keys.json "
                        "(repeatable)")
    p.add_argument("--cafile", metavar="CA.pem",
                   help="trust this authority instead of the system's (a test mirror)")
    p.add_argument("--objects", action="store_true",
                   help="also check that every object of each release is there with its size")
    p.add_argument("--jobs", type=int, default=8, metavar="N",
                   help="requests at once (default 8)")
    p.add_argument("--timeout", type=float, default=30, metavar="SECONDS")
    p.add_argument("url", nargs="+", metavar="URL")
    p = sub.add_parser("prune", help="delete objects that the newest releases do not name")
    p.add_argument("--keep", type=int, default=3, metavar="N",
                   help="releases kept whole, newest first (at least 2, default 3)")
    p.add_argument("--dry-run", action="store_true", help="list what would be deleted")
    p.add_argument("mirror", metavar="MIRROR|RCLONE_DEST")
    keys.add_parsers(sub)
    upload.add_parser(sub)
    return ap


def main(argv=None):
    args = parser().parse_args(argv)
    try:
        if args.command == "keygen":
            from .release import cmd_keygen
            cmd_keygen(args)
            return 0
        if args.command == "build":
            from .build import cmd_build
            cmd_build(args)
            return 0
        if args.command == "diff":
            from .diff import cmd_diff
            return cmd_diff(args)
        if args.command == "keys":
            return keys.cmd_keys(args)
        if args.command == "upload":
            return upload.cmd_upload(args)
        if args.command == "status":
            from .status import cmd_status
            return cmd_status(args)
        if args.command == "prune":
            from .prune import cmd_prune
            return cmd_prune(args)
        from .verify import cmd_verify
        return cmd_verify(args)
    except Failure as e:
        print("korvanth-publish: %s" % e, file=sys.stderr)
        return 1
    except OSError as e:
        print("korvanth-publish: %s: %s" % (e.filename or "", e.strerror), file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("korvanth-publish: interrupted; the mirror tree is as it was", file=sys.stderr)
        return 130
