"""Builds the platform wheel of kv318 from the staging copy cmake/wheel.cmake
makes: the Python package with the library and kv318-sim of one platform
inside it.  Everything else about the package is in pyproject.toml.

The wheel holds native binaries but no Python extension, so setuptools would
call it pure and tag it py3-none-any, which pip would then install on any
platform.  The tag is py3-none-<platform> instead (any Python 3 on that
platform can load the library through ctypes), and the distribution is marked
platform-specific so the wheel installs into platlib."""
import os

from setuptools import Distribution, setup
from wheel.bdist_wheel import bdist_wheel

PLATFORM = os.environ["KV318_WHEEL_PLATFORM"]


class BinaryDistribution(Distribution):
    """Platform-specific: its files go to platlib, the wheel's root."""

    def has_ext_modules(self):
        return True


class PlatformWheel(bdist_wheel):
    def get_tag(self):
        return "py3", "none", PLATFORM


setup(distclass=BinaryDistribution, cmdclass={"bdist_wheel": PlatformWheel})
