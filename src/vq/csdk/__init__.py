"""Native layer of vq: the extension module c_sdk and the trading library."""
