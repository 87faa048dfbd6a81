"""Record reads while Python code rebinds the record's `data`: a key's
__hash__, an entry's __repr__ or another thread may drop the mapping that a
read is using.  Each case runs in a child interpreter, so that a crash fails
that case only, and compares the record classes with a plain Python class
written like them."""

import subprocess
import sys
import textwrap

import pytest

PRELUDE = textwrap.dedent(
    """
    import itertools, sys, threading
    import vq.csdk.c_sdk as c_sdk

    class Plain(object):
        __slots__ = ['data']
        def __init__(self, data):
            self.data = data
        def __getitem__(self, item):
            return self.data.get(item)
        def __setitem__(self, item, value):
            self.data[item] = value
        def __contains__(self, key):
            return key in self.data
        def __getattr__(self, item):
            return self.data.get(item)
        def __setattr__(self, item, value):
            if item != 'data':
                self.data[item] = value
            else:
                super(Plain, self).__setattr__(item, value)
        def __str__(self):
            return self.data.__str__()
        def __repr__(self):
            return self.data.__repr__()
        @property
        def price(self):
            return self.data.get('price')

    class Rebinder(object):
        '''Each use rebinds the record's data to a fresh dict, the only
        reference to the one before.'''
        def __init__(self):
            self.record, self.count, self.junk = None, itertools.count(2), []
        def fire(self):
            r, self.record = self.record, None  # building the dict hashes KEY
            if r is not None:
                r.data = {KEY: next(self.count), NAME: 'n', 'price': 'p'}
                # whatever the old dict freed is reused at once
                self.junk.append([{'junk': i} for i in range(4)])
                self.record = r

    HOOK = Rebinder()

    class Key(object):
        def __hash__(self):
            HOOK.fire()
            return 7
        def __repr__(self):
            HOOK.fire()
            return 'Key'

    class Name(str):
        def __hash__(self):
            HOOK.fire()
            return str.__hash__(self)

    KEY, NAME = Key(), Name('zz')
    """
)

# op: (the classes it applies to, the expression on record r)
OPS = {
    "item": ("all", "r[KEY]"),
    "attribute": ("all", "getattr(r, NAME)"),
    "property": ("TickLikeDict2", "getattr(r, Name('price'))"),
    "contains": ("BarLikeDict2", "KEY in r"),
    "set item": ("all", "r.__setitem__(KEY, 'v') or sorted(map(repr, r.data.values()))"),
    "str": ("all", "str(r)"),
    "repr": ("all", "repr(r)"),
}


def run_child(code, timeout=60):
    return subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )


@pytest.mark.parametrize("op", sorted(OPS))
def test_a_read_keeps_its_mapping_while_python_code_rebinds_data(op):
    classes, expr = OPS[op]
    names = (
        ["QuoteItemLikeDict2", "TickLikeDict2", "BarLikeDict2", "ObjectLikeDict2"]
        if classes == "all"
        else [classes]
    )
    out = run_child(
        """
        def run(cls):
            r = cls({KEY: 1, NAME: 'one', 'price': 'first', 'x': KEY})
            for _ in range(3):  # the freed mappings are reused meanwhile
                [dict(a=1) for _ in range(50)]
            HOOK.record, HOOK.count = r, itertools.count(2)
            try:
                got = %s
            finally:
                HOOK.record = None
            return got, r.data[KEY]
        for name in %r:
            assert run(getattr(c_sdk, name)) == run(Plain), (name, run(getattr(c_sdk, name)))
        print('ok')
        """
        % (expr, names)
    )
    assert (out.returncode, out.stdout, out.stderr) == (0, "ok\n", "")


@pytest.mark.parametrize("read", ["r[Side.BUY]", "getattr(r, NAME)"])
def test_reads_race_a_thread_that_rebinds_data(read):
    out = run_child(
        """
        import enum, time
        class Side(enum.Enum):
            BUY = 1
        sys.setswitchinterval(1e-6)
        NAME = Name('zz')
        seen = set()
        for cls in (c_sdk.TickLikeDict2, c_sdk.ObjectLikeDict2):
            r = cls({Side.BUY: 1.0, NAME: 1.0})
            stop = False
            def rebind():
                while not stop:
                    r.data = {Side.BUY: 2.0, NAME: 2.0}
                    junk = [{'junk': None}, {}]  # reuses what the old dict freed
            t = threading.Thread(target=rebind)
            t.start()
            deadline = time.monotonic() + 2
            while time.monotonic() < deadline:
                for _ in range(1000):
                    seen.add(%s)
            stop = True
            t.join()
        assert seen <= {1.0, 2.0}, seen
        print('ok')
        """
        % read
    )
    assert (out.returncode, out.stdout, out.stderr) == (0, "ok\n", "")
