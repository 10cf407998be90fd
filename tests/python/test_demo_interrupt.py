"""Ctrl-C during the demo session: SIGINT to the demo's process group (as a terminal
sends it) or to the Python process alone ends the demo with a closed progress line, one
"interrupted" line, the server stopped and status 130, without a traceback and without
a process left behind. Run by other interpreters or without the module, the demo says
how to run it in one message."""

import os
import signal
import subprocess
import sys
import unittest

from demo_fixture import (DEMO_PY, kill_session, other_python, run_bounded,
                          session_processes, tools_bin)


class InterruptTest(unittest.TestCase):
    def interrupt(self, to_group):
        tools = tools_bin()
        build = os.path.dirname(tools)
        proc = subprocess.Popen([sys.executable, DEMO_PY, "--build", build,
                                 "--slow-ms", "30000"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                start_new_session=True,
                                env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"))
        self.addCleanup(lambda: proc.poll() is None and kill_session(proc))
        # The first line of the bar: the long query runs.
        seen = []
        for line in proc.stdout:
            seen.append(line)
            if line.startswith("["):
                break
        self.assertTrue(seen and seen[-1].startswith("["), "".join(seen))
        if to_group:
            os.killpg(proc.pid, signal.SIGINT)
        else:
            os.kill(proc.pid, signal.SIGINT)
        try:
            rest, err = proc.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            kill_session(proc)
            raise AssertionError("the demo did not end after SIGINT")
        out = "".join(seen) + rest
        self.assertEqual(session_processes(proc.pid), [], "the demo left processes behind")
        self.assertEqual(proc.returncode, 130, out + err)
        self.assertNotIn("Traceback", out + err)
        self.assertEqual(err, "")
        lines = rest.splitlines()
        self.assertIn("interrupted", lines, rest)
        # Nothing of the bar after it; the clean-up follows.
        after = lines[lines.index("interrupted") + 1:]
        self.assertFalse([line for line in after if line.startswith("[")], rest)
        self.assertEqual(after[-2:], ["Disconnected.", "Stopped the server."])

    def test_sigint_to_the_process_group(self):
        self.interrupt(to_group=True)

    def test_sigint_to_the_python_process_alone(self):
        self.interrupt(to_group=False)


class WrongWayTest(unittest.TestCase):
    def run_demo(self, python, *args):
        # Only what the demo finds itself: no module on the path.
        env = dict(os.environ)
        env.pop("PYTHONPATH", None)
        status, out, err = run_bounded([python, DEMO_PY, *args], timeout=60, env=env)
        self.assertNotIn("Traceback", out + err)
        self.assertEqual(len(err.splitlines()), 1, err)
        return status, err

    def test_another_interpreter_is_told_which_to_use(self):
        other = other_python()
        if not other:
            self.skipTest("no Python other than 3.13 installed")
        build = os.path.dirname(tools_bin())
        status, err = self.run_demo(other, "--build", build)
        self.assertEqual(status, 1)
        self.assertIn("examples/demo.py needs Python 3.13", err)
        self.assertIn("./demo.sh", err)

    def test_a_missing_module_says_what_builds_it(self):
        status, err = self.run_demo(sys.executable, "--build", "/nonexistent/build")
        self.assertEqual(status, 1)
        if sys.version_info[:2] == (3, 13):
            self.assertIn("The native module _zelmolib is not built in "
                          "/nonexistent/build/python: ./demo.sh (or ./setup.sh demo) "
                          "builds it.", err)


if __name__ == "__main__":
    unittest.main()
