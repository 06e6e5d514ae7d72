"""The installed distribution's version: one source, pyproject.toml."""

from importlib import metadata

try:
    __version__: str = metadata.version("pynorvane")
except metadata.PackageNotFoundError:  # imported from a source tree that is not installed
    __version__ = "0+unknown"
