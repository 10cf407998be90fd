"""Signals during synchronous client calls: a KeyboardInterrupt (or any exception a
signal handler raises) interrupts a call that waits on the server, the request is
cancelled, the exception is raised, and the client stays usable. Each case runs in a
child process that the test signals while it waits in the call; a call that cannot be
interrupted would keep the child busy far longer than the test waits for it."""

import os
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import unittest

from client_fixture import ECHO, WORK, BusinessServer, private_network

HERE = os.path.dirname(os.path.abspath(__file__))
# How long each blocking call would last if nothing interrupted it (an uninterrupted
# call answers "finished"), and how long the test waits for one answer of the child:
# a limit that only catches a hang, with room for a busy machine.
BLOCKING_MS = 40000
ANSWER_WAIT = 90.0

CHILD = textwrap.dedent("""
    import signal, sys, threading, time, zelmolib, _zelmolib
    port, silent, blocking = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])

    class Stop(Exception):
        pass

    def stop(signum, frame):
        raise Stop("from the handler")

    signal.signal(signal.SIGUSR1, stop)
    # A shell that starts a background job without job control leaves SIGINT ignored,
    # and Python then installs no handler of its own.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    idle_calls = []
    _zelmolib.set_default_idle_callback(lambda: idle_calls.append(1))
    client = _zelmolib.Client()
    # Port 0: a private network with no server, where discovery broadcasts only on lo.
    if port:
        client.connect(host="127.0.0.1", port=port, timeout=10000)
        client.open_database("sqlite", "demo")
    other = []

    def shared():
        # Another thread's request on the same client, in flight while this one waits.
        def run():
            try:
                client.execute(%(WORK)d, {"ms": 1500}, timeout=20000)
                other.append("finished")
            except BaseException as error:
                other.append(type(error).__name__)
        worker = threading.Thread(target=run)
        worker.start()
        time.sleep(0.1)
        try:
            client.execute(%(WORK)d, {"ms": blocking}, timeout=2 * blocking)
        finally:
            worker.join()

    def connect_beside_timers():
        # More pending timers than the dispatcher has workers: none is free meanwhile.
        timers = [_zelmolib.start_timer(10 * blocking, None) for _ in range(200)]
        try:
            client.connect(host="127.0.0.1", port=silent, timeout=2 * blocking)
        finally:
            for timer in timers:
                timer.cancel()

    steps = {
        "shared": shared,
        "execute": lambda: client.execute(%(WORK)d, {"ms": blocking}, timeout=2 * blocking),
        "named": lambda: client.query_database("SELECT * FROM slow_report"),
        "handler": lambda: client.execute(%(WORK)d, {"ms": blocking}, timeout=2 * blocking),
        "connect": lambda: client.connect(host="127.0.0.1", port=silent, timeout=2 * blocking),
        "connect_beside_timers": connect_beside_timers,
        "discovery": lambda: client.list_servers(timeout=blocking, port=silent),
    }
    # Says "calling" as the main thread enters the blocking call of a step: a signal
    # sent from then on is the call's to handle.
    waiting_calls = {"execute", "query_database", "connect", "list_servers"}
    def calling(frame, event, arg):
        if event == "c_call" and getattr(arg, "__name__", "") in waiting_calls:
            sys.setprofile(None)
            print("calling", flush=True)

    for line in sys.stdin:
        name = line.strip()
        print("ready", name, flush=True)
        try:
            sys.setprofile(calling)
            steps[name]()
            outcome = "finished"
        except BaseException as error:
            outcome = type(error).__name__
        sys.setprofile(None)
        if not port:
            echo = name if client.list_servers(timeout=100) == () else "served"
        else:
            if name.startswith("connect"):
                client.connect(host="127.0.0.1", port=port, timeout=10000)
            echo = client.execute(%(ECHO)d, {"after": name})["after"]
        print(name, outcome, echo, flush=True)
        if name == "shared":
            print("other", *other, flush=True)
    print("idle", bool(idle_calls), flush=True)
""") % {"WORK": WORK, "ECHO": ECHO}

# A script that ends while a callback still runs, so that its exit waits for it: a
# callback that waits for ever (pause None), computes (0) or comes back into the
# interpreter every millisecond, for 60 s. Once the exit has begun, when no Client can be
# made, a thread sends one signal: nothing runs on the main thread meanwhile but an idle
# callable, which would take a handler's SystemExit for its own (it has Ctrl-C only).
EXIT_CHILD = textwrap.dedent("""
    import atexit, os, signal, sys, threading, time, zelmolib, _zelmolib
    atexit.register(print, "atexit")
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(7))
    started, never = threading.Event(), threading.Event()

    def signal_at_exit():
        while not time.sleep(0.01):
            try:
                _zelmolib.Client()
            except RuntimeError:
                return os.kill(os.getpid(), int(sys.argv[1]))

    def until(pause):
        def callback(*args):
            started.set()
            end = time.monotonic() + 60
            while time.monotonic() < end:
                never.wait() if pause is None else pause and time.sleep(pause)
        return callback

    threading.Thread(target=signal_at_exit, daemon=True).start()
    try:
        %s
        assert started.wait(30)
    finally:
        print("finally")
""")
IDLE = "_zelmolib.set_default_idle_callback(lambda: None); "
# The code that starts the callback, the signal and the exit status: the signal ends the
# wait and the script at once, Ctrl-C's KeyboardInterrupt printed once by atexit, the
# handler's exit ending the script with 7 (raised in it by an explicit _cleanup()).
EXITS = [(IDLE + "_zelmolib.start_timer(0, until(None))", signal.SIGINT, 0),
         ("_zelmolib.start_timer(0, until(None))", signal.SIGINT, 0),
         (IDLE + "_zelmolib.start_timer(0, until(0))", signal.SIGINT, 0),
         *[("_zelmolib.start_timer(0, until(0.001))", signal.SIGINT, 0)] * 5,
         ("_zelmolib.start_timer(0, until(None))", signal.SIGTERM, 7),
         ("_zelmolib.start_timer(0, until(None)); started.wait(30); _zelmolib._cleanup()",
          signal.SIGTERM, 7)]
KEYBOARD_INTERRUPT = (r"\AException ignored in atexit callback <built-in function _cleanup>:\n"
                      r"(Traceback \(most recent call last\):\n(  .*\n)+)?KeyboardInterrupt: \n\Z")
# The healthy exit ends a tenth of a second after the signal, the callbacks after 60 s.
ENDS_WITHIN = 20.0


class SilentServer:
    """A listening socket that accepts connections and never answers."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.accepted = []
        self.thread = threading.Thread(target=self.accept, daemon=True)
        self.thread.start()

    def accept(self):
        while True:
            try:
                self.accepted.append(self.sock.accept()[0])
            except OSError:
                return

    def close(self):
        self.sock.close()
        for conn in self.accepted:
            conn.close()


class SignalTest(unittest.TestCase):
    def setUp(self):
        self.server = BusinessServer("--slow-ms", str(BLOCKING_MS))
        self.addCleanup(self.server.stop)
        self.silent = SilentServer()
        self.addCleanup(self.silent.close)
        self.start_child([sys.executable, "-c", CHILD, str(self.server.port),
                          str(self.silent.port), str(BLOCKING_MS)])

    def start_child(self, command):
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join([HERE] + env.get("PYTHONPATH", "").split(os.pathsep))
        self.child = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      text=True, env=env)
        self.addCleanup(self.stop_child, self.child)

    @staticmethod
    def stop_child(child):
        if child.poll() is None:
            child.kill()
        child.wait()
        child.stdin.close()
        child.stdout.close()

    def answer(self):
        """The child's next line, or a failure once ANSWER_WAIT has passed."""
        result = []
        reader = threading.Thread(target=lambda: result.append(self.child.stdout.readline()))
        reader.start()
        reader.join(ANSWER_WAIT)
        if not result:
            self.child.kill()
            self.fail("the child did not answer: its call was not interrupted")
        return result[0].split()

    def interrupt(self, step, signum=signal.SIGINT):
        self.child.stdin.write(step + "\n")
        self.child.stdin.flush()
        self.assertEqual(self.answer(), ["ready", step])
        self.assertEqual(self.answer(), ["calling"])
        self.child.send_signal(signum)
        return self.answer()

    def test_every_waiting_call_is_interrupted(self):
        self.assertEqual(self.interrupt("execute"), ["execute", "KeyboardInterrupt", "execute"])
        self.assertEqual(self.interrupt("named"), ["named", "KeyboardInterrupt", "named"])
        self.assertEqual(self.interrupt("handler", signal.SIGUSR1), ["handler", "Stop", "handler"])
        self.assertEqual(self.interrupt("connect"), ["connect", "KeyboardInterrupt", "connect"])
        self.assertEqual(self.interrupt("connect_beside_timers"),
                         ["connect_beside_timers", "KeyboardInterrupt", "connect_beside_timers"])
        self.child.stdin.close()
        # The default idle callable still ran during the synchronous calls.
        self.assertEqual(self.answer(), ["idle", "True"])
        self.assertEqual(self.child.wait(ANSWER_WAIT), 0)

    def test_a_signal_ends_the_wait_for_callbacks_at_exit(self):
        for code, signum, status in EXITS:
            with self.subTest(code=code, signal=signum):
                r = subprocess.run([sys.executable, "-c", EXIT_CHILD % code, str(int(signum))],
                                   capture_output=True, text=True, timeout=ENDS_WITHIN)
                # The atexit callables run once, a handler's exit too.
                self.assertEqual((r.returncode, r.stdout), (status, "finally\natexit\n"))
                # Nothing else printed: no fatal error, no abort, no sanitizer report.
                self.assertRegex(r.stderr, KEYBOARD_INTERRUPT if status == 0 else r"\A\Z")

    def test_discovery_is_interrupted(self):
        # Discovery broadcasts on every interface: its child runs in a private network
        # whose only interface is lo, with no server (port 0).
        self.start_child(private_network(self, [sys.executable, "-c", CHILD, "0",
                                                str(self.silent.port), str(BLOCKING_MS)]))
        self.assertEqual(self.interrupt("discovery"),
                         ["discovery", "KeyboardInterrupt", "discovery"])

    def test_an_interrupt_ends_only_its_own_request(self):
        # The other thread's request on the same client completes; the interrupted
        # one is cancelled at the server too, so the echo after it is not held up.
        self.assertEqual(self.interrupt("shared"), ["shared", "KeyboardInterrupt", "shared"])
        self.assertEqual(self.answer(), ["other", "finished"])


if __name__ == "__main__":
    unittest.main()
