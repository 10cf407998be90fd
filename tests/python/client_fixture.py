"""The test programs, the stand-in business server for the Client tests, and helpers
to wait for asynchronous calls.

The test programs come from tools_folder(): ZELMO_TOOLS_BIN (set by ctest), else the
repository's build/tools. The server listens on a free loopback port, which it prints
first. Test commands beside the named operations:
ECHO answers with the request, WORK works "ms" milliseconds with progress, FAIL
refuses with "code" (and "message"), REQUEST_LOG tells the connection table and
the last 32 requests the connection sent, ROWS answers with "rows" generated rows.
"""

import os
import shutil
import subprocess
import sys
import textwrap
import threading
import time
import unittest

import zelmolib  # noqa: F401  (the package must be loaded before the module)
import _zelmolib

ECHO, WORK, FAIL, REQUEST_LOG, ROWS, BLOB = 1000, 1001, 1002, 1003, 1004, 1005
ADMIN_PASSWORD = "manager"
WAIT = 30.0


def wait_for(predicate, limit=WAIT):
    """Whether `predicate()` came to hold within `limit` seconds (a limit that only
    catches a hang)."""
    end = time.monotonic() + limit
    while not predicate():
        if time.monotonic() > end:
            return False
        time.sleep(0.005)
    return True


ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def tools_folder():
    """The folder of the test programs: ZELMO_TOOLS_BIN when set, else the
    repository's build/tools when it holds them, else None."""
    folder = os.environ.get("ZELMO_TOOLS_BIN")
    if folder:
        return folder
    folder = os.path.join(ROOT, "build", "tools")
    return folder if os.path.isdir(folder) and os.listdir(folder) else None


def tool_program(name):
    """The path of the test program `name`. A test that needs a program and finds none
    fails, saying how to build it."""
    folder = tools_folder()
    path = os.path.join(folder, name) if folder else None
    if not path or not os.access(path, os.X_OK):
        raise AssertionError(
            "test program %s not found in %s: build it with `cmake --build build --target %s` "
            "from the repository, or set ZELMO_TOOLS_BIN to the folder that holds the test "
            "programs" % (name, folder or "build/tools (ZELMO_TOOLS_BIN unset)", name))
    return path


def server_program():
    return tool_program("business_server")


class BusinessServer:
    """One server process on a free loopback port."""

    def __init__(self, *args):
        self.proc = subprocess.Popen([server_program(), *args], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        line = self.proc.stdout.readline()
        if not line.strip():
            self.stop()
            raise RuntimeError("business_server did not start")
        self.port = int(line)

    def stop(self):
        try:
            self.proc.stdin.close()
        except OSError:
            pass  # the server is gone already
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()

    def kill(self):
        self.proc.kill()
        self.proc.wait()


class ServerTestCase(unittest.TestCase):
    """A server per test class and a connected Client per test."""

    server_args = ("--slow-ms", "300")

    @classmethod
    def setUpClass(cls):
        cls.server = BusinessServer(*cls.server_args)
        cls.addClassCleanup(cls.server.stop)

    def setUp(self):
        self.client = self.connect()

    def connect(self, **options):
        client = _zelmolib.Client()
        client.connect(host="127.0.0.1", port=self.server.port, timeout=10000, **options)
        self.addCleanup(client.disconnect)
        return client

    def request_log(self, client=None, clear=True):
        """(connection table, requests) as the server received them."""
        reply = (client or self.client).execute(REQUEST_LOG, {"CLEAR": clear})
        return reply["CONNECTION"], reply["REQUESTS"]

    def last_request(self, client=None):
        """(command, request table, payload size) of the last request sent."""
        _, requests = self.request_log(client)
        last = requests[-1]
        return last["COMMAND"], last["REQUEST"], last["SIZE"]


class Outcome:
    """Collects the callbacks of one asynchronous call."""

    def __init__(self):
        self.done = threading.Event()
        self.calls = []
        self.progress = []
        self.idle = 0

    def success(self, *args):
        self.calls.append(("success", args))
        self.done.set()

    def error(self, *args):
        self.calls.append(("error", args))
        self.done.set()

    def on_progress(self, *args):
        self.progress.append(args)

    def on_idle(self):
        self.idle += 1

    def wait(self, test):
        test.assertTrue(self.done.wait(WAIT), "no completion")
        return self.calls[0]


def run_async(test, method, *args, **kwargs):
    """Calls `method` with success and error callbacks; (kind, args, deferred)."""
    outcome = Outcome()
    deferred = method(*args, success=outcome.success, error=outcome.error, **kwargs)
    test.assertIsInstance(deferred, _zelmolib.Deferred)
    kind, values = outcome.wait(test)
    return kind, values, deferred


# Runs a command in a private network namespace whose only interface is lo, up:
# PRIVATE_NETWORK + [program, arg...].
PRIVATE_NETWORK = ["unshare", "-rn", "sh", "-c", 'ip link set lo up && exec "$0" "$@"']


def netns_available():
    if not shutil.which("unshare") or not shutil.which("ip"):
        return False
    probe = subprocess.run(["unshare", "-rn", "ip", "link", "set", "lo", "up"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return probe.returncode == 0


def private_network(test, command):
    """PRIVATE_NETWORK + `command`; `test` is skipped where no namespace can be made."""
    if not netns_available():
        test.skipTest("cannot create a private network namespace here (unshare -rn refused)")
    return PRIVATE_NETWORK + command


def run_in_private_network(test, script, *args):
    """The lines a Python `script` run with `args` in a private network printed, each
    evaluated."""
    result = subprocess.run(
        private_network(test, [sys.executable, "-c", textwrap.dedent(script), *args]),
        capture_output=True, text=True, timeout=120)
    test.assertEqual(result.returncode, 0, result.stderr)
    return [eval(line) for line in result.stdout.splitlines()]
