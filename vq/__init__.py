"""vq: Python SDK for quantitative trading."""
