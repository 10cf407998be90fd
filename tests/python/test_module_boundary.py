"""The module's boundary with the interpreter: out of memory in native code is a
MemoryError, not an aborted process, and a blocking native call lets the other
Python threads run.

Each scenario runs in a child interpreter: the memory cases lower the child's address
space limit, and a call that kept the interpreter lock would hang the child rather
than the suite.
"""

import os
import subprocess
import sys
import textwrap
import unittest

import zelmolib  # noqa: F401  (the package must be loaded before the module)
import _zelmolib  # noqa: F401

CHILD_TIMEOUT = 60

# Runs in the child: BIG bytes are made first, then the address space is capped a
# little above what the process maps, so that the next large native allocation (a
# std::string copy of BIG, or one as long) fails while Python's small ones succeed.
MEMORY_CHILD = r"""
import resource, sys
import zelmolib, _zelmolib

BIG_SIZE = 192 << 20
big_bytes = b"7" * BIG_SIZE
big_text = "x" * BIG_SIZE
big_json = "[ \f" + " " * BIG_SIZE + "]"

def mapped():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmSize")

cases = {
    "decimal_format_width": lambda: _zelmolib.Decimal(1).format(width=BIG_SIZE),
    "decimal_from_bytes": lambda: _zelmolib.Decimal(big_bytes),
    "hash_password": lambda: _zelmolib.hash_password(big_bytes),
    "save_xml_value": lambda: _zelmolib.save_xml({"key": big_text}),
    "json_decoder_chunk": lambda: _zelmolib.JSONDecoder().parse(big_json),
    "regexp_text": lambda: _zelmolib.regexp_find_all("y", big_bytes),
}
case = cases[sys.argv[1]]
held = [sys.getrefcount(big) for big in (big_bytes, big_text, big_json)]
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (mapped() + (BIG_SIZE // 2), hard))
try:
    case()
except MemoryError:
    outcome = "MemoryError"
    # Nothing the conversion held stays alive.
    if held != [sys.getrefcount(big) for big in (big_bytes, big_text, big_json)]:
        outcome = "MemoryError, but the arguments leaked"
except BaseException as error:
    outcome = "other: %r" % (error,)
else:
    outcome = "no error"
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
# The module goes on working once memory is back.
assert str(_zelmolib.Decimal("1.5") + 1) == "2.5"
assert _zelmolib.hash_password("a") == _zelmolib.hash_password(b"a")
print(outcome)
"""

MEMORY_CASES = ("decimal_format_width", "decimal_from_bytes", "hash_password",
                "save_xml_value", "json_decoder_chunk", "regexp_text")

# Runs in the child: a connection whose handshake never gets an answer holds the
# client's connection lock; interrupt() waits for that lock. The only thing that ends
# the handshake is this script closing the server's end from another Python thread,
# which can run only while interrupt() waits without the interpreter lock.
INTERRUPT_CHILD = r"""
import socket, threading
import zelmolib, _zelmolib

listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(1)
port = listener.getsockname()[1]
accepted = []
accepted_event = threading.Event()
interrupting = threading.Event()

def serve():
    connection, _ = listener.accept()
    accepted.append(connection)
    accepted_event.set()
    interrupting.wait()
    connection.shutdown(socket.SHUT_RDWR)
    connection.close()

client = _zelmolib.Client()
outcome = []

def connect():
    try:
        client.connect(host="127.0.0.1", port=port, timeout=600000)
        outcome.append("connected")
    except zelmolib.Error as error:
        outcome.append("error %d" % error.args[0])

server = threading.Thread(target=serve, daemon=True)
server.start()
connecting = threading.Thread(target=connect, daemon=True)
connecting.start()
accepted_event.wait()
interrupting.set()
client.interrupt()
connecting.join()
print(outcome[0].split()[0])
"""


def under_asan():
    return "asan" in os.environ.get("LD_PRELOAD", "")


def run_child(script, *args):
    return subprocess.run([sys.executable, "-c", script, *args], capture_output=True,
                          text=True, timeout=CHILD_TIMEOUT, env=os.environ.copy())


class OutOfMemoryTest(unittest.TestCase):
    def test_native_allocation_failure_is_memory_error(self):
        if under_asan():
            self.skipTest("the address sanitizer's allocator does not run under a capped "
                          "address space")
        for case in MEMORY_CASES:
            with self.subTest(case=case):
                child = run_child(MEMORY_CHILD, case)
                self.assertEqual(child.returncode, 0, child.stderr)
                self.assertEqual(child.stdout.strip(), "MemoryError", child.stderr)


class InterpreterLockTest(unittest.TestCase):
    def test_interrupt_waits_without_interpreter_lock(self):
        try:
            child = run_child(INTERRUPT_CHILD)
        except subprocess.TimeoutExpired:
            self.fail("interrupt() kept the interpreter lock while it waited")
        self.assertEqual(child.returncode, 0, child.stderr)
        self.assertEqual(child.stdout.strip(), "error", child.stderr)


if __name__ == "__main__":
    unittest.main()
