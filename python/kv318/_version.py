# The package's version: the one place it is written.  pyproject.toml reads
# it from here for the package metadata, and it matches the version in the
# public header KV318.h (the project's one version), which the tests check.
__version__ = "1.3.0"
