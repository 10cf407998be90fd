"""Every program in the tools folder answers --help with its usage on stdout and status
0, without starting anything, and an unknown option with its usage on stderr and
status 2. The servers also refuse an option that lacks its number."""

import os
import subprocess
import unittest

from demo_fixture import run_bounded, tools_bin


def programs():
    tools = tools_bin()
    found = sorted(name for name in os.listdir(tools)
                   if os.access(os.path.join(tools, name), os.X_OK)
                   and os.path.isfile(os.path.join(tools, name)))
    return [(name, os.path.join(tools, name)) for name in found]


class ToolOptionsTest(unittest.TestCase):
    def run_tool(self, path, *args):
        # No input: a program that started serving instead would end at once, with 0.
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

    def test_server_options_need_numbers(self):
        for name in ("business_server", "rpc_test_server"):
            path = os.path.join(tools_bin(), name)
            with self.subTest(program=name):
                for args in (("--port",), ("--port", "eighty"), ("--slow-ms", "5x")):
                    if name == "rpc_test_server" and args[0] == "--slow-ms":
                        continue
                    status, out, err = self.run_tool(path, *args)
                    self.assertEqual(status, 2, out + err)
                    self.assertEqual(out, "")
                    self.assertIn("%s: %s needs a" % (name, args[0]), err)


if __name__ == "__main__":
    unittest.main()
