"""Builds the platform wheel of kv318 from the staging copy cmake/wheel.cmake
makes: the Python package with the library and kv318-sim of one platform
inside it.  Everything else about the package is in pyproject.toml.

The wheel holds native binaries but no Python extension, so setuptools would
call it pure and tag it py3-none-any, which pip would then install on any
platform.  The tag is py3-none-<platform> instead (any Python 3 on that
platform can load the library through ctypes), and the wheel is marked
platform-specific so it installs into platlib."""
import os

from setuptools import setup
from wheel.bdist_wheel import bdist_wheel

PLATFORM = os.environ["KV318_WHEEL_PLATFORM"]


class PlatformWheel(bdist_wheel):
    def finalize_options(self):
        super().finalize_options()
        self.root_is_pure = False

    def get_tag(self):
        return "py3", "none", PLATFORM


setup(cmdclass={"bdist_wheel": PlatformWheel})
