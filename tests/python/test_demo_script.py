"""./demo.sh and ./setup.sh as a newcomer runs them, on a stand-in build folder (its
build is one slow step): two runs at once take turns at building and both run the demo;
started by sh or through a symbolic link it works the same; Ctrl-C at its terminal ends
it with the progress line closed, "interrupted", status 130 and nothing left running.
A build prints a few progress lines and keeps the compiler's output in its log, whose
tail it shows when the build fails."""

import fcntl
import os
import pty
import re
import select
import signal
import subprocess
import tempfile
import time
import unittest

from demo_fixture import (DEMO_SH, SETUP, StubBuild, kill_session, run_bounded,
                          script_environment, session_processes)

WAIT_LINE = "waiting for it to finish"


class DemoScriptTest(unittest.TestCase):
    def setUp(self):
        self.stub = StubBuild()
        self.addCleanup(self.stub.remove)
        self.env = script_environment(self.stub.folder)

    def start(self, command):
        """`command` in a session of its own, its output in files; (process, out, err)."""
        out = tempfile.TemporaryFile(mode="w+")
        err = tempfile.TemporaryFile(mode="w+")
        self.addCleanup(out.close)
        self.addCleanup(err.close)
        proc = subprocess.Popen(command, stdout=out, stderr=err, env=self.env,
                                start_new_session=True, stdin=subprocess.DEVNULL)
        self.addCleanup(lambda: proc.poll() is None and kill_session(proc))
        return proc, out, err

    @staticmethod
    def text(stream):
        stream.seek(0)
        return stream.read()

    def wait_for(self, condition, what, seconds=30):
        deadline = time.monotonic() + seconds
        while not condition():
            if time.monotonic() > deadline:
                self.fail("gave up waiting for " + what)
            time.sleep(0.05)

    def test_two_runs_at_once_take_turns_at_building(self):
        # The build folder is busy when both start: each says it waits.
        lock = open(os.path.join(self.stub.folder, ".setup.lock"), "a")
        self.addCleanup(lock.close)
        fcntl.flock(lock, fcntl.LOCK_EX)
        # One through a link from elsewhere and by sh, the other as the README says.
        link = os.path.join(tempfile.mkdtemp(dir=self.stub.folder), "demo.sh")
        os.symlink(DEMO_SH, link)
        runs = [self.start(["sh", link, "--slow-ms", "200"]),
                self.start([DEMO_SH, "--slow-ms", "200"])]
        for _, _, err in runs:
            self.wait_for(lambda: WAIT_LINE in self.text(err), "the run to wait its turn")
        fcntl.flock(lock, fcntl.LOCK_UN)
        for proc, out, err in runs:
            try:
                proc.wait(timeout=60)
            except subprocess.TimeoutExpired:
                self.fail("a demo run did not end")
            output, errors = self.text(out), self.text(err)
            self.assertEqual(proc.returncode, 0, output + errors)
            self.assertEqual(session_processes(proc.pid), [])
            # Once for the demo's build; the builds after the demos may meet again.
            self.assertGreaterEqual(errors.count(WAIT_LINE), 1, errors)
            self.assertTrue(errors.startswith("Another ./setup.sh"), errors)
            self.assertIn("Stopped the server.\n", output)
            self.assertRegex(output, r"\(\d+ rows\)")
        # One build, never two at once: the second found it done.
        self.assertEqual(self.stub.steps(), ["start", "end"])

    def test_ctrl_c_at_the_terminal(self):
        pid, fd = pty.fork()
        if pid == 0:  # the child: demo.sh on the terminal
            try:
                os.execve(DEMO_SH, [DEMO_SH, "--slow-ms", "30000"], self.env)
            finally:
                os._exit(127)
        self.addCleanup(os.close, fd)
        output = b""
        deadline = time.monotonic() + 60
        sent = False
        while time.monotonic() < deadline:
            ready, _, _ = select.select([fd], [], [], 0.2)
            if ready:
                try:
                    data = os.read(fd, 4096)
                except OSError:  # the terminal closed: every process on it ended
                    break
                if not data:
                    break
                output += data
            # Once the bar shows, Ctrl-C as a user types it.
            if not sent and re.search(rb"\r\[[#-]+\] +\d+%  report", output):
                os.write(fd, b"\x03")
                sent = True
        if not sent or time.monotonic() >= deadline:
            os.killpg(pid, signal.SIGKILL)
        _, status = os.waitpid(pid, 0)
        text = output.decode(errors="replace").replace("\r\n", "\n")
        self.assertTrue(sent, text)
        self.assertEqual(os.waitstatus_to_exitcode(status), 130, text)
        self.assertEqual(session_processes(pid), [], "demo.sh left processes behind")
        self.assertNotIn("Traceback", text)
        self.assertNotIn("Terminated", text)
        # The bar's line is closed before the one-line message; the server is stopped,
        # and nothing is built after the interruption.
        self.assertRegex(text, r"report \d+ *(\^C)?\ninterrupted\n")
        self.assertTrue(text.endswith("Disconnected.\nStopped the server.\n"), text)
        self.assertEqual(self.stub.steps(), ["start", "end"])


def many_steps(count, failing=None):
    """A build of `count` quick steps, each printing a line; step `failing` fails."""
    rules = ["rule ok\n  command = echo compiling $out && touch $out\n",
             "rule bad\n  command = echo 'error: $out does not compile' && exit 1\n"]
    builds = ["build s%d: %s\n" % (n, "bad" if n == failing else "ok") for n in range(count)]
    every = " ".join("s%d" % n for n in range(count))
    return "".join(rules + builds) + "build all: phony %s\ndefault all\n" % every


class SetupBuildTest(unittest.TestCase):
    def setUp(self):
        self.stub = StubBuild()
        self.addCleanup(self.stub.remove)
        self.env = script_environment(self.stub.folder)
        self.log = os.path.join(self.stub.folder, "setup.log")

    def test_a_few_lines_and_the_whole_log(self):
        self.stub.write("build.ninja", many_steps(40))
        status, out, err = run_bounded(["sh", SETUP], env=self.env)
        self.assertEqual(status, 0, out + err)
        self.assertEqual(err, "")
        lines = out.splitlines()
        self.assertLessEqual(len(lines), 6, out)
        self.assertEqual(lines[-1], "Building everything into %s/: done in %s s"
                         % (self.stub.folder, lines[-1].split()[-2]))
        with open(self.log) as f:
            log = f.read()
        # Each step's own output, besides ninja's line for it.
        self.assertEqual(len(re.findall(r"^compiling s\d+$", log, re.M)), 40)
        self.assertIn("[40/40] ", log)
        # Again: nothing to do, one line.
        status, out, _ = run_bounded([SETUP], env=self.env)
        self.assertEqual((status, out), (0, "Building everything into %s/: up to date\n"
                                            % self.stub.folder))

    def test_a_failed_build_shows_the_tail_of_its_log(self):
        self.stub.write("build.ninja", many_steps(40, failing=39))
        status, out, err = run_bounded([SETUP], env=dict(self.env, ZELMO_JOBS="1"))
        self.assertEqual(status, 1, out + err)
        self.assertIn("setup.sh: the build failed; the last lines of %s:" % self.log, err)
        self.assertIn("error: s39 does not compile", err)
        self.assertTrue(err.endswith("The whole log: %s\n" % self.log), err)
        self.assertLessEqual(len(err.splitlines()), 45)


if __name__ == "__main__":
    unittest.main()
