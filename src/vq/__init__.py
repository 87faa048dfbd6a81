"""vq: Python SDK for quantitative trading."""

# The one place the version is written: the build reads it from here.
__version__ = "3.0.0"
