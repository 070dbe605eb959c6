"""The releases a mirror tree has carried: each build keeps its manifest
pair under releases/<version>/, so that `diff`, `build --against` and
`prune` can name an older release by its version, and the checks a build
makes against the release the tree serves now."""

import json
import os
from typing import NamedTuple

from .common import MANIFEST_JSON, MANIFEST_SIG, Failure, write_atomically, windows_holds
from .curve import signer_candidates
from .keys import point_of, read_key_list, verifies

RELEASES = "releases"


class ManifestPair(NamedTuple):
    data: bytes       # manifest.json
    signature: bytes  # manifest.sig, empty when it is missing


class FoundRelease(NamedTuple):
    manifest_dir: str  # the folder that holds its manifest pair
    tree: str          # the mirror tree whose objects/ hold its objects


def version_folder_problem(version):
    """Why a version name cannot be a folder of releases/, or None."""
    if "/" in version or not windows_holds(version) or version in (".", ".."):
        return ("--version %r: the name is also a folder of the tree (releases/NAME/): no / "
                "\\ : * ? \" < > |, no dot or space at the end, no device name" % version)
    return None


def release_dir(tree, version):
    return os.path.join(tree, RELEASES, version)


def read_pair(folder):
    """The ManifestPair of a folder, or None when it has no manifest."""
    try:
        with open(os.path.join(folder, MANIFEST_JSON), "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return None
    try:
        with open(os.path.join(folder, MANIFEST_SIG), "rb") as f:
            sig = f.read()
    except FileNotFoundError:
        sig = b""
    return ManifestPair(data, sig)


def version_and_time(data, where):
    try:
        doc = json.loads(data.decode("utf-8"))
        if isinstance(doc["version"], str) and isinstance(doc["generated"], str):
            return doc["version"], doc["generated"]
    except (UnicodeDecodeError, ValueError, KeyError, TypeError):
        pass
    raise Failure("%s: not a manifest (version and generated)" % where)


def write_pair(folder, data, sig):
    """Writes a manifest pair into a folder, the signature last."""
    write_atomically(os.path.join(folder, MANIFEST_JSON), [data])
    write_atomically(os.path.join(folder, MANIFEST_SIG), [sig])


def keep_pair(tree, version, data, sig):
    """Writes a release's pair into the history, as on the tree's top."""
    folder = release_dir(tree, version)
    os.makedirs(folder, exist_ok=True)
    write_pair(folder, data, sig)


def keep_current(tree):
    """A tree built before the history was kept: its current release goes
    into the history too, before a new one replaces it."""
    current = read_pair(tree)
    if current is None:
        return
    try:
        version, _ = version_and_time(current.data, os.path.join(tree, MANIFEST_JSON))
    except Failure:
        return  # a damaged pair (replaced with --force) is no release to keep
    if version_folder_problem(version) is None and not os.path.isdir(release_dir(tree, version)):
        keep_pair(tree, version, *current)


def check_new_release(tree, version, generated, force):
    """Refuses a release that launchers which applied the tree's current one
    would refuse (not newer), or that replaces a published version."""
    current = read_pair(tree)
    if force or current is None:
        return
    where = os.path.join(tree, MANIFEST_JSON)
    old_version, old_time = version_and_time(current.data, where)
    if not generated > old_time:
        raise Failure("--generated %s: not later than %s's release %s (%s); launchers that "
                      "applied that one refuse an older release as out of date. Give a later "
                      "time, or --force to replace it anyway"
                      % (generated, tree, old_version, old_time))
    if version == old_version or os.path.isdir(release_dir(tree, version)):
        raise Failure("--version %s: published already in %s (%s/%s); players who have it "
                      "never see the new files under the same name. Give a new version, or "
                      "--force to replace it" % (version, tree, RELEASES, version))


def launcher_bytes(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        raise Failure("--launcher %s: %s" % (path, e.strerror))


def listed_by_trusted_root(tree, point, launcher_bytes):
    """Whether the tree's key list holds `point` as a release key and is
    signed by a root key compiled into the launcher."""
    current = read_key_list(tree)
    if current is None or not current.holds(point):
        return False
    data, sig = current.data, current.signature
    return any(root in launcher_bytes and verifies(root, data, sig)
               for root in signer_candidates(data, sig))


def check_signing_key(tree, key, launcher):
    """Refuses a key the players' launchers would not take: the one given
    with --launcher must carry its public half (or a root that lists it in
    the tree's key list); without it, the key must have signed the release
    the tree serves now, unless the key list names it."""
    point = point_of(key.public_key())
    if launcher:
        exe = launcher_bytes(launcher)
        if point in exe or listed_by_trusted_root(tree, point, exe):
            return
        raise Failure("--key: %s does not carry this key's public half, so every player "
                      "would refuse the release as invalid; sign with the key it was built "
                      "with (KORVANTH_MANIFEST_PUBKEY), or list the key in the tree's "
                      "keys.json under a root it carries" % launcher)
    current = read_pair(tree)
    if current is None or verifies(point, *current):
        return
    listed = read_key_list(tree)
    if listed is not None and listed.holds(point):
        return
    version, _ = version_and_time(current.data, os.path.join(tree, MANIFEST_JSON))
    raise Failure("--key: %s's release %s is signed by another key, which the players' "
                  "launchers trust; sign with that key, or give the launcher players run "
                  "with --launcher EXE if it carries this key" % (tree, version))


def is_tree(path):
    return os.path.isfile(os.path.join(path, MANIFEST_JSON))


def find_release(name, tree):
    """The FoundRelease of a mirror tree's path, or of a version name kept in
    `tree`'s history."""
    if is_tree(name):
        return FoundRelease(name, name)
    if tree and version_folder_problem(name) is None and is_tree(release_dir(tree, name)):
        return FoundRelease(release_dir(tree, name), tree)
    if os.path.isdir(name):
        raise Failure("%s: missing, so %s is no mirror tree"
                      % (os.path.join(name, MANIFEST_JSON), name))
    known = sorted(os.listdir(os.path.join(tree, RELEASES))) if tree and \
        os.path.isdir(os.path.join(tree, RELEASES)) else []
    raise Failure("%s: neither a mirror tree nor a release kept in %s (%s)"
                  % (name, tree or "a tree", ", ".join(known) if known else "it keeps none"))
