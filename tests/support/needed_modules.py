"""The check a script makes before it imports modules beyond the standard
library: a Python without one of them gets a line naming the Debian package
to install and exit status 2, not a traceback from deep in an import.

The Debian packages serve Debian's own Python (/usr/bin/python3); another
interpreter (a virtual environment, pyenv) is told so."""

import importlib
import os
import sys

# The modules the project's scripts import beyond the standard library, and
# the Debian package (tools/apt-packages.txt) that provides each.
DEBIAN_PACKAGES = {"numpy": "python3-numpy", "zmq": "python3-zmq"}

SYSTEM_PYTHON = "/usr/bin/python3"


def missing(modules):
    """The modules of `modules` that do not import, in the given order."""
    absent = []
    for module in modules:
        try:
            importlib.import_module(module)
        except ImportError:
            absent.append(module)
    return absent


def require(tool, modules):
    """Returns when every module of `modules` imports; otherwise writes what
    to install to stderr and exits with 2.  `tool` names the script."""
    absent = missing(modules)
    if not absent:
        return
    packages = " ".join(DEBIAN_PACKAGES[m] for m in absent)
    message = (f"{tool}: {sys.executable} cannot import {', '.join(absent)}; "
               f"install with: sudo apt-get install {packages}")
    if os.path.realpath(sys.executable) != os.path.realpath(SYSTEM_PYTHON):
        message += f"\n{tool}: those packages serve {SYSTEM_PYTHON}: run the script with it"
    print(message, file=sys.stderr)
    sys.exit(2)
