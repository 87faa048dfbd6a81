"""Events from a thread of the library's own around the edges of the
interpreter's life: after its finalization has begun, after a
sub-interpreter has existed, and a callable that calls sys.exit() there.
Each case runs in a child interpreter, so that a crash fails that case
only."""

import os
import subprocess
import sys
import textwrap

import pytest

TESTS = os.path.dirname(os.path.abspath(__file__))

PRELUDE = textwrap.dedent(
    """
    import atexit, sys, threading, time
    import standin
    import vq.csdk.c_sdk as c_sdk
    MAIN = threading.get_ident()
    """
)


def run_child(code, timeout=20):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([TESTS, os.environ.get("PYTHONPATH", "")]))
    return subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )


def test_events_after_finalization_are_dropped():
    # the exit handler's thread delivers once the interpreter is gone
    out = run_child(
        """
        c_sdk.py_vqi_set_data_callback(lambda t, p: print('late event', t))
        standin.queue_event('late', b'x', count=1000)
        assert standin.lib.vqstub_exit_handler(1, 0) == 0
        sys.exit(3)
        """
    )
    assert (out.returncode, out.stdout, out.stderr) == (3, "", "")


def test_exits_while_the_library_thread_delivers():
    # the thread goes on delivering through finalization and a slow exit
    # handler; each event allocates, so that it holds the lock a while
    code = """
        seen = []
        c_sdk.py_vqi_set_data_callback(lambda t, p: seen.append([p] * 50))
        standin.queue_event('tick', b'x' * 100, count=10**9)
        assert standin.lib.vqstub_exit_handler(0, 30) == 0
        standin.thread_start()
        deadline = time.monotonic() + %f
        while time.monotonic() < deadline:
            seen.clear()
        sys.exit(3)
        """
    for i in range(12):
        out = run_child(code % (0.001 * i))
        assert (out.returncode, out.stderr) == (3, ""), i


def test_events_take_the_lock_after_a_sub_interpreter_existed():
    out = run_child(
        """
        import _testcapi
        assert _testcapi.run_in_subinterp('pass') == 0
        got = []
        c_sdk.py_vqi_set_data_callback(lambda t, p: got.append((p, threading.get_ident())))
        standin.queue_event('e', b'x', count=2000)
        standin.thread_start()
        while len(got) < 2000:  # Python code on this thread meanwhile
            [dict(a=i) for i in range(10)]
            time.sleep(0)
        assert standin.thread_join() == 2000
        assert len(got) == 2000 and all(who != MAIN for _, who in got)
        c_sdk.py_vqi_set_data_callback(lambda t, p: got.append(threading.get_ident()))
        standin.queue_event('e', b'y', count=3)
        c_sdk.vqi_poll()  # on this thread, which holds the lock: delivered at once
        assert got[-3:] == [MAIN] * 3
        print('ok')
        """
    )
    assert (out.returncode, out.stdout, out.stderr) == (0, "ok\n", "")


# how the main thread spends the time while the library's thread delivers
WAITS = {
    "joins the thread": "standin.thread_join()",
    "runs Python code": "while True: time.sleep(0.001)",
}


@pytest.mark.parametrize("wait", sorted(WAITS))
@pytest.mark.parametrize(
    ("arg", "status", "err"),
    [("7", 7, ""), ("'stopped here'", 1, "stopped here\n"), ("None", 0, "")],
    ids=["int", "text", "none"],
)
def test_sys_exit_on_the_library_thread_ends_the_process_from_the_main_thread(
    wait, arg, status, err
):
    out = run_child(
        """
        got = []
        def on_event(t, p):
            if p == b'exit':
                sys.exit(%s)
            got.append(p)
        atexit.register(lambda: print(got))
        c_sdk.py_vqi_set_data_callback(on_event)
        for p in (b'a', b'exit', b'b', b'exit'):
            standin.queue_event('e', p, count=3)
        standin.thread_start()
        try:
            %s
        finally:
            print('main thread unwound')
        print('not reached')
        """
        % (arg, WAITS[wait])
    )
    assert (out.returncode, out.stdout, out.stderr) == (
        status,
        "main thread unwound\n[b'a', b'a', b'a']\n",
        err,
    )


def test_sys_exit_on_the_calling_thread_ends_the_process_there():
    out = run_child(
        """
        c_sdk.py_vqi_set_data_callback(lambda t, p: sys.exit(5))
        standin.queue_event('e', b'x')
        try:
            c_sdk.vqi_poll()
        except BaseException:
            print('caught')
        print('not reached')
        """
    )
    assert (out.returncode, out.stdout) == (5, "")
