"""The tool's version: the project's, written once in the top
CMakeLists.txt (project(Korvanth VERSION x.y.z)), which the launcher's
build reads too. From a checkout it is read there, so the tool and the
launcher built from one commit always name the same version; an installed
copy has no checkout beside it and answers with the version its package was
built with, which the package build read from the same line."""

import os
import re

DISTRIBUTION = "korvanth-publish"
PROJECT_LINE = re.compile(r"^\s*project\(\s*Korvanth\s+VERSION\s+([0-9]+\.[0-9]+\.[0-9]+)\b",
                          re.MULTILINE)


def checkout_file():
    """The top CMakeLists.txt of the checkout this package sits in
    (tools/publish/korvanth_publish/ below it)."""
    here = os.path.dirname(os.path.realpath(__file__))
    return os.path.join(here, os.pardir, os.pardir, os.pardir, "CMakeLists.txt")


def from_checkout(path=None):
    """The version that CMakeLists.txt names, or None when there is no such
    file or line."""
    try:
        with open(path or checkout_file(), encoding="utf-8") as f:
            found = PROJECT_LINE.search(f.read())
    except OSError:
        return None
    return found.group(1) if found else None


def from_installed():
    from importlib import metadata
    try:
        return metadata.version(DISTRIBUTION)
    except metadata.PackageNotFoundError:
        return None


def version():
    """The version --version prints; a copy of the package taken out of its
    checkout without being installed still runs, and says it cannot tell."""
    return from_checkout() or from_installed() or "(unknown: not in a checkout, not installed)"


def for_package():
    """What the package build records (pyproject.toml names this): the
    checkout's line, never an installed copy's nor a stand-in."""
    found = from_checkout()
    if not found:
        raise RuntimeError("%s: no project(Korvanth VERSION x.y.z) line; build the package "
                           "from a checkout" % os.path.normpath(checkout_file()))
    return found
