"""The adapter as a plain Python closure, shared by the ctypes and cffi
peers and included into the Cython one."""

IS_PY2 = False
IS_PY3 = True


def adapt_to_python3(func):
    def wrapper(*args, **kwargs):
        if IS_PY2:
            return func(*args, **kwargs)
        new_args = []
        for arg in args:
            if isinstance(arg, str):
                arg = arg.encode('ascii')
            new_args.append(arg)
        for key, value in kwargs.items():
            if isinstance(value, str):
                kwargs[key] = value.encode('ascii')
        return func(*new_args, **kwargs)

    return wrapper
