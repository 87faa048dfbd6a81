"""Constants shared by the vq package and its native layer."""

# Status of a library call that succeeded.
CSDK_OPERATE_SUCCESS = 0
