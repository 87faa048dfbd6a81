"""Helpers shared across the vq package."""

import logging

# The package logger; the native layer logs failed library calls through it
# at debug level.
vqsdklogger = logging.getLogger("vq")
vqsdklogger.addHandler(logging.NullHandler())
