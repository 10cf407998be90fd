"""The stand-in RPC server program that the Python suites and the demo run against:
it prints its port, answers the protocol on loopback and ends when its input closes."""

import select
import socket
import struct
import subprocess
import unittest

from client_fixture import tool_program

MAGIC = 0xF79BF0B7
VERSION = 0x00010002
FIRST_CHUNK = 0x1000
SERVER_INFO = 2
AUTH = 4
DATA = 6
FAILED = 7


def header(kind, flags, sequence, size, union=b"\0" * 8):
    return struct.pack("<IIHHII", MAGIC, VERSION, kind, flags, sequence, size) + union + b"\0" * 4


def read_exactly(sock, count):
    data = b""
    while len(data) < count:
        part = sock.recv(count - len(data))
        if not part:
            raise ConnectionError("closed")
        data += part
    return data


def read_packet(sock):
    """One whole reply: (type, sequence, union bytes, payload)."""
    payload = b""
    first = None
    while True:
        raw = read_exactly(sock, 32)
        magic, _, kind, flags, sequence, size = struct.unpack_from("<IIHHII", raw)
        if magic != MAGIC:
            raise ValueError("bad magic")
        chunk = read_exactly(sock, min(size, 8160))
        if kind == 3:  # a PING, never part of the reply
            continue
        if first is None:
            first = (kind, sequence, raw[20:28], size)
        payload += chunk
        if len(payload) >= first[3]:
            return first[0], first[1], first[2], payload


def checksum(data):
    total, at, n = 0, 0, len(data)
    if n & 1:
        total += data[0]
        at = 1
    if n & 2:
        total += struct.unpack_from("<H", data, at)[0]
        at += 2
    if n & 4:
        total += struct.unpack_from("<I", data, at)[0]
        at += 4
    while at < n:
        word = struct.unpack_from("<Q", data, at)[0]
        total += (word >> 32) + (word & 0xFFFFFFFF)
        at += 8
    return total & 0xFFFFFFFF


class StandInServerTest(unittest.TestCase):
    def setUp(self):
        self.server = subprocess.Popen(
            [tool_program("rpc_test_server")],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        ready, _, _ = select.select([self.server.stdout], [], [], 20)
        self.assertTrue(ready, "no port printed")
        self.port = int(self.server.stdout.readline())

    def tearDown(self):
        self.server.stdin.close()
        self.assertEqual(self.server.wait(timeout=30), 0)
        self.server.stdout.close()

    def test_handshake_and_raw_echo(self):
        with socket.create_connection(("127.0.0.1", self.port), timeout=10) as sock:
            sock.sendall(header(SERVER_INFO, FIRST_CHUNK, 1, 0))
            kind, sequence, union, _ = read_packet(sock)
            self.assertEqual((kind, sequence), (SERVER_INFO, 1))
            self.assertEqual(struct.unpack("<Q", union)[0] & 0xFFFF, self.port)

            # An empty connection table, flattened, is what an empty payload reads as.
            sock.sendall(header(AUTH, FIRST_CHUNK, 2, 0))
            kind, sequence, _, _ = read_packet(sock)
            self.assertEqual((kind, sequence), (AUTH, 2))

            body = bytes(range(256)) * 40  # two chunks
            union = struct.pack("<II", 6, checksum(body))  # command 6 echoes the bytes
            first = header(DATA, FIRST_CHUNK, 3, len(body), union) + body[:8160]
            second = header(DATA, 0, 3, len(body) - 8160, union) + body[8160:]
            sock.sendall(first + second)
            kind, sequence, _, payload = read_packet(sock)
            self.assertEqual((kind, sequence), (DATA, 3))
            self.assertEqual(payload, body)

            union = struct.pack("<II", 999, 0)  # no such command
            sock.sendall(header(DATA, FIRST_CHUNK, 4, 0, union))
            kind, sequence, _, _ = read_packet(sock)
            self.assertEqual((kind, sequence), (FAILED, 4))


if __name__ == "__main__":
    unittest.main()
