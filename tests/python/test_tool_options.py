"""Every program in the tools folder answers --help with its usage on stdout and status
0, without starting anything, and an unknown option with its usage on stderr and
status 2. The servers also refuse an option that lacks its number and a port they
cannot listen on, saying why, listen and answer discovery on 127.0.0.1 alone, and read
their standard input only when it is a pipe or a socket."""

import os
import select
import signal
import socket
import struct
import subprocess
import unittest

from demo_fixture import run_bounded, tools_bin


def bound_addresses(pid):
    """The local addresses ("tcp" or "udp", ip, port) of process `pid`'s listening TCP
    sockets and its UDP sockets, as the kernel lists them."""
    inodes = set()
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            link = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            continue  # closed meanwhile
        if link.startswith("socket:["):
            inodes.add(link[len("socket:["):-1])
    found = []
    for kind, state in (("tcp", "0A"), ("udp", None)):  # 0A: listening
        with open("/proc/%d/net/%s" % (pid, kind)) as table:
            next(table)
            for line in table:
                fields = line.split()
                if fields[9] in inodes and state in (None, fields[3]):
                    ip, port = fields[1].split(":")
                    found.append((kind, socket.inet_ntoa(struct.pack("<I", int(ip, 16))),
                                  int(port, 16)))
    return sorted(found)


def programs():
    tools = tools_bin()
    found = sorted(name for name in os.listdir(tools)
                   if os.access(os.path.join(tools, name), os.X_OK)
                   and os.path.isfile(os.path.join(tools, name)))
    return [(name, os.path.join(tools, name)) for name in found]


class ToolOptionsTest(unittest.TestCase):
    def run_tool(self, path, *args):
        # A program that started serving instead would run until the time limit.
        return run_bounded([path, *args], timeout=10, stdin=subprocess.DEVNULL)

    def test_help(self):
        found = programs()
        self.assertIn("business_server", [name for name, _ in found])
        for name, path in found:
            with self.subTest(program=name):
                status, out, err = self.run_tool(path, "--help")
                self.assertEqual(status, 0, err)
                self.assertTrue(out.startswith("usage: %s" % name), out)
                self.assertEqual(err, "")

    def test_unknown_option(self):
        for name, path in programs():
            with self.subTest(program=name):
                status, out, err = self.run_tool(path, "--no-such-option")
                self.assertEqual(status, 2, out + err)
                self.assertIn("usage: %s" % name, err)

    def test_server_options_that_cannot_serve(self):
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen(1)
            used = str(taken.getsockname()[1])
            for name in ("business_server", "rpc_test_server"):
                path = os.path.join(tools_bin(), name)
                for args, status, words in (
                        (("--port",), 2, "--port needs a"),
                        (("--port", "eighty"), 2, "--port needs a"),
                        (("--slow-ms", "5x"), 2, "--slow-ms needs a"),
                        (("--port", "70000"), 2, "70000 is not a port number"),
                        (("--port", "65536"), 2, "65536 is not a port number"),
                        (("--port", used), 1, "cannot listen on 127.0.0.1 port %s: "
                                              "the port is in use" % used)):
                    if name == "rpc_test_server" and args[0] == "--slow-ms":
                        continue
                    with self.subTest(program=name, args=args):
                        result = self.run_tool(path, *args)
                        self.assertEqual(result[:2], (status, ""), result)
                        self.assertIn("%s: %s" % (name, words), result[2])

    def test_servers_listen_and_answer_discovery_on_loopback_alone(self):
        for name in ("business_server", "rpc_test_server"):
            with self.subTest(program=name):
                proc = subprocess.Popen([os.path.join(tools_bin(), name)],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL)
                try:
                    port = int(proc.stdout.readline())
                    bound = bound_addresses(proc.pid)
                    self.assertIn(("tcp", "127.0.0.1", port), bound)
                    self.assertIn("udp", [kind for kind, _, _ in bound])  # discovery
                    self.assertEqual({ip for _, ip, _ in bound}, {"127.0.0.1"}, bound)
                finally:
                    proc.stdin.close()
                    proc.wait(30)
                    proc.stdout.close()

    def test_standard_input_is_read_only_from_a_pipe_or_a_socket(self):
        """A pipe or a socket stops the server when it closes; a terminal, /dev/null, a
        file, a closed or a write-only descriptor is never read, and the server serves
        until SIGTERM."""
        terminal, terminal_end = os.openpty()
        read_end, write_end = os.pipe()
        ours, theirs = socket.socketpair()
        with open(__file__) as text:
            inputs = {"pipe": subprocess.PIPE, "socket": theirs.fileno(),
                      "/dev/null": subprocess.DEVNULL, "terminal": terminal_end,
                      "file": text.fileno(), "write-only": write_end, "closed": None}
            servers = {}
            for kind, stdin in inputs.items():
                closing = (lambda: os.close(0)) if stdin is None else None
                servers[kind] = subprocess.Popen(
                    [os.path.join(tools_bin(), "business_server")], stdout=subprocess.PIPE,
                    stderr=subprocess.DEVNULL, stdin=stdin or subprocess.DEVNULL,
                    preexec_fn=closing, start_new_session=True)
        for fd in (terminal, terminal_end, read_end, write_end):
            os.close(fd)
        theirs.close()
        try:
            # Each serves, still connected a while after it began watching its input.
            peers = [socket.create_connection(("127.0.0.1", int(p.stdout.readline())))
                     for p in servers.values()]
            self.assertEqual(select.select(peers, [], [], 0.5)[0], [])
            servers["pipe"].stdin.close()
            ours.close()
            for kind, proc in servers.items():
                with self.subTest(stdin=kind):
                    if kind not in ("pipe", "socket"):
                        self.assertIsNone(proc.poll())
                        proc.send_signal(signal.SIGTERM)
                    self.assertEqual(proc.wait(30), 0)
            for peer in peers:
                peer.close()
        finally:
            for proc in servers.values():
                if proc.poll() is None:
                    proc.kill()
                proc.wait()
                proc.stdout.close()


if __name__ == "__main__":
    unittest.main()
