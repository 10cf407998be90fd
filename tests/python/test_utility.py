"""Module utility functions: name resolution and interfaces (against socket and
/sys/class/net), machine identity, system information, checksums, password hashes,
paths, the foreground hint and the id check."""

import array
import fcntl
import os
import platform
import random
import re
import socket
import struct
import subprocess
import sys
import textwrap
import unittest

import zelmolib  # noqa: F401
import _zelmolib as z

SYS_NET = "/sys/class/net"
IFF_UP, IFF_BROADCAST, IFF_LOOPBACK, IFF_MULTICAST = 0x1, 0x2, 0x8, 0x1000
SIOCGIFADDR, SIOCGIFNETMASK = 0x8915, 0x891B


def run_python(code, env_extra=None):
    env = dict(os.environ)
    env.update(env_extra or {})
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=60)


def ioctl_address(name, request):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        packed = struct.pack("256s", name.encode()[:15])
        try:
            return socket.inet_ntoa(fcntl.ioctl(s.fileno(), request, packed)[20:24])
        except OSError:
            return None


def model_checksum(data):
    """The frame checksum: a leading byte, 16-bit and 32-bit word as the length's low
    bits ask, then the little-endian 32-bit words of the rest, modulo 2**32."""
    n, p, total = len(data), 0, 0
    if n & 1:
        total += data[0]
        p = 1
    if n & 2:
        total += int.from_bytes(data[p:p + 2], "little")
        p += 2
    if n & 4:
        total += int.from_bytes(data[p:p + 4], "little")
        p += 4
    for i in range(p, n, 4):
        total += int.from_bytes(data[i:i + 4], "little")
    return total % 2 ** 32


class NetworkTest(unittest.TestCase):
    def test_lookup_both_ways_on_loopback(self):
        self.assertEqual(z.host_lookup("localhost"), socket.gethostbyname("localhost"))
        self.assertEqual(z.host_lookup(b"127.0.0.1\x00junk"), socket.gethostbyaddr("127.0.0.1")[0])
        with self.assertRaises(ValueError):
            z.host_lookup(None)

    def test_interfaces_match_the_system(self):
        interfaces = z.get_network_interfaces("ignored")
        self.assertIsInstance(interfaces, tuple)
        self.assertLessEqual(len(interfaces), 32)
        self.assertTrue(interfaces, "no interface listed")
        for nic in interfaces:
            with self.subTest(name=nic["name"]):
                self.assertEqual(list(nic), ["name", "mac", "address", "netmask", "broadcast",
                                             "features"])
                path = os.path.join(SYS_NET, nic["name"])
                self.assertTrue(os.path.isdir(path))
                with open(os.path.join(path, "flags")) as f:
                    flags = int(f.read(), 16)
                expected = ((1 if flags & IFF_UP else 0) | (2 if flags & IFF_BROADCAST else 0)
                            | (4 if flags & IFF_MULTICAST else 0)
                            | (8 if flags & IFF_LOOPBACK else 0))
                self.assertEqual(nic["features"], expected)
                with open(os.path.join(path, "address")) as f:
                    mac = bytes.fromhex(f.read().strip().replace(":", ""))
                self.assertEqual(nic["mac"], mac[:6].ljust(6, b"\0"))
                self.assertEqual(nic["address"], ioctl_address(nic["name"], SIOCGIFADDR))
                self.assertEqual(nic["netmask"], ioctl_address(nic["name"], SIOCGIFNETMASK))
        self.assertIn("127.0.0.1", [n["address"] for n in interfaces])


class IdentityTest(unittest.TestCase):
    UUID = re.compile(r"^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$")

    def test_machine_uuid_is_stable_upper_case(self):
        value = z.get_machine_uuid()
        self.assertRegex(value, self.UUID)
        self.assertEqual(z.get_machine_uuid(), value)

    def test_machine_uuid_from_environment(self):
        given = "3d1219c7-c4c5-404a-aa1f-6d2a48adfda4"
        r = run_python("import zelmolib, _zelmolib; print(_zelmolib.get_machine_uuid())",
                       {"ZELMO_MACHINE_UUID": given})
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.strip(), given.upper())

    def test_password_hash(self):
        h = z.hash_password("secret")
        self.assertRegex(h, r"^[0-9A-F]{32}$")
        self.assertEqual(z.hash_password(b"secret\x00ignored"), h)
        self.assertNotEqual(z.hash_password("secret2"), h)
        self.assertNotEqual(z.hash_password("a\x00b"), z.hash_password("a"))
        with self.assertRaises(ValueError):
            z.hash_password(5)

    def test_system_info(self):
        info = z.get_system_info()
        self.assertIn(platform.system(), info)
        self.assertIn(os.uname().release, info)

    def test_application_log_path(self):
        path = z.get_application_log_path()
        program_dir = os.path.dirname(os.path.realpath(sys.executable))
        self.assertTrue(os.path.isabs(path))
        self.assertTrue(path.endswith("/" + os.path.basename(program_dir)), path)


class ChecksumTest(unittest.TestCase):
    def test_against_model(self):
        rng = random.Random(2106)
        sizes = list(range(0, 80)) + [rng.randrange(80, 5000) for _ in range(40)]
        for n in sizes:
            data = bytes(rng.randrange(256) for _ in range(n))
            with self.subTest(n=n):
                self.assertEqual(z.checksum(data), model_checksum(data))

    def test_buffer_kinds(self):
        self.assertEqual(z.checksum(b""), 0)
        self.assertEqual(z.checksum(bytearray(b"abc")), model_checksum(b"abc"))
        self.assertEqual(z.checksum(memoryview(b"xabcx")[1:4]), model_checksum(b"abc"))
        a = array.array("I", [0xFFFFFFFF] * 9)
        self.assertEqual(z.checksum(a), model_checksum(a.tobytes()))
        self.assertLess(z.checksum(a), 2 ** 32)
        with self.assertRaises(TypeError):
            z.checksum("text")
        with self.assertRaises(BufferError):
            z.checksum(memoryview(b"abcdef")[::2])


class SmallFunctionsTest(unittest.TestCase):
    def test_check_all(self):
        cases = [
            (array.array("q"), True),
            (array.array("q", [1, -5, 2 ** 62]), True),
            (array.array("q", [1, 0, 3]), False),
            (array.array("q", [0]), False),
            (array.array("q", [7]).tobytes() + b"\0\0\0", True),  # remainder ignored
            (bytearray(8), False),
        ]
        for ids, expected in cases:
            with self.subTest(ids=bytes(ids)):
                self.assertIs(z._check_all(ids), expected)
        with self.assertRaises(TypeError):
            z._check_all("text")

    def test_set_process_foreground(self):
        self.assertIsNone(z._set_process_foreground(True))
        self.assertIsNone(z._set_process_foreground(0))

        class Bad:
            def __bool__(self):
                raise KeyError("truth")

        with self.assertRaises(KeyError):
            z._set_process_foreground(Bad())

    def test_docstrings(self):
        self.assertEqual(z.checksum.__doc__,
                         "checksum(buffer) -> int\n\nComputes a fast checksum of a buffer.")
        self.assertTrue(z._check_all.__doc__.startswith("_check_all(ids) -> Returns true"))


if __name__ == "__main__":
    unittest.main()
