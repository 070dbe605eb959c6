"""The package build (pyproject.toml holds the rest): it also copies the
chunk tool's C++ sources from the checkout into the package, which builds
the tool from them on demand when no --chunker is given."""

import os
import shutil
import sys

from setuptools import setup
from setuptools.command.build_py import build_py

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from korvanth_publish import chunks  # noqa: E402


class BuildWithChunker(build_py):
    def run(self):
        super().run()
        target = os.path.join(self.build_lib, "korvanth_publish", "chunker")
        for rel in chunks.chunker_files(chunks.CHECKOUT):
            out = os.path.join(target, rel)
            os.makedirs(os.path.dirname(out), exist_ok=True)
            shutil.copyfile(os.path.join(chunks.CHECKOUT, rel), out)


setup(cmdclass={"build_py": BuildWithChunker})
