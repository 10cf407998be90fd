"""The scripted RPC peer as a program (rpc_scripted_peer of the test programs): it prints
its port, answers a client byte for byte as its script says, reports each packet it
read and how the script ended. Client fault-injection tests build on it."""

import socket
import struct
import subprocess
import unittest

from client_fixture import tool_program

MAGIC = 0xF79BF0B7
VERSION = 0x00010002
FIRST_CHUNK = 0x1000
HEADER = struct.Struct("<IIHHII8s4s")


def header(ptype, flags, sequence, size=0, union=b"\0" * 8):
    return HEADER.pack(MAGIC, VERSION, ptype, flags, sequence, size, union, b"\0" * 4)


def read_exactly(conn, n):
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


class ScriptedPeerProgram(unittest.TestCase):
    def setUp(self):
        self.program = tool_program("rpc_scripted_peer")

    def run_peer(self, script, talk):
        peer = subprocess.Popen([self.program, script], stdout=subprocess.PIPE, text=True)
        try:
            first = peer.stdout.readline().split()
            self.assertEqual(first[0], "PORT")
            with socket.create_connection(("127.0.0.1", int(first[1])), timeout=10) as conn:
                talk(conn)
            out, _ = peer.communicate(timeout=20)
        finally:
            if peer.poll() is None:
                peer.kill()
                peer.wait()
        return peer.returncode, out.splitlines()

    def test_server_info_and_a_failed_reply(self):
        server_id = 0x0102030405060708

        def talk(conn):
            conn.sendall(header(2, FIRST_CHUNK, 1))
            reply = HEADER.unpack(read_exactly(conn, 32))
            self.assertEqual(reply[0], MAGIC)
            self.assertEqual(reply[2], 2)
            self.assertEqual(struct.unpack("<Q", reply[6])[0], server_id)
            payload = b"abc"
            union = struct.pack("<II", 9, 0)
            conn.sendall(header(6, FIRST_CHUNK, 2, len(payload), union) + payload)
            reply = HEADER.unpack(read_exactly(conn, 32))
            self.assertEqual(reply[2], 7)
            self.assertEqual(reply[4], 2)
            self.assertEqual(read_exactly(conn, reply[5]), b"broken")

        code, lines = self.run_peer(
            f"recv SERVER_INFO; reply SERVER_INFO - server={server_id}; recv DATA;"
            " reply FAILED text:broken", talk)
        self.assertEqual(code, 0, lines)
        self.assertEqual(lines[-1], "DONE")
        received = [line for line in lines if line.startswith("RECV")]
        self.assertEqual(len(received), 2)
        self.assertIn("type=6", received[1])
        self.assertIn("payload=616263", received[1])

    def test_a_script_that_fails_says_why(self):
        def talk(conn):
            conn.sendall(header(2, FIRST_CHUNK, 1))

        code, lines = self.run_peer("recv DATA", talk)
        self.assertEqual(code, 1)
        self.assertTrue(lines[-1].startswith("FAIL recv DATA: got type 2"), lines)


if __name__ == "__main__":
    unittest.main()
