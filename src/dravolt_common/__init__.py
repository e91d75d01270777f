"""Common utilities of the dravolt platform, with native serialisation helpers."""

# The one place the version is written: the build reads it from here for the
# package metadata.
__version__ = "0.2.0"
