"""README.md's examples run as written: its Python code blocks from the top folder of a
built tree (leaving no process behind), the programs it names answer --help, the
commands it gives for the stand-in server run as written, its test command fails when
there is no test to run rather than passing with none, and the share of the build that
the demo needs is as it says. The Python guide it links to, docs/python.md, runs as
written too: its Python blocks, in order, are one program. A Ctrl-C of either's program
does not reach the server it starts."""

import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import unittest

from client_fixture import wait_for
from demo_fixture import (DEMO_PY, README, ROOT, other_python, run_bounded,
                          session_processes, tools_bin)


GUIDE = os.path.join(ROOT, "docs", "python.md")

# The line of the examples' first block after which the stand-in server runs.
SERVER_STARTED = "port = int(server.stdout.readline())\n"

# What follows the server's start in the Ctrl-C test: the program waits for the Ctrl-C,
# says whether its server still runs 2 s later, then stops it by closing its input. A
# shell that starts the tests in the background without job control leaves SIGINT
# ignored, which Python keeps: the program takes it as a terminal's program does.
AFTER_CTRL_C = """
import signal, time
signal.signal(signal.SIGINT, signal.default_int_handler)
try:
    print(server.pid, flush=True)
    time.sleep(60)
except KeyboardInterrupt:
    try:
        server.wait(timeout=2)
        print("stopped", flush=True)
    except subprocess.TimeoutExpired:
        print("running", flush=True)
server.stdin.close()
print(server.wait(timeout=30), flush=True)
"""


def readme(path=README):
    with open(path) as f:
        return f.read()


def code_blocks(language, path=README):
    return re.findall(r"^```%s\n(.*?)^```$" % language, readme(path), re.S | re.M)


def shell_commands():
    """The README's indented command lines, continuation lines joined."""
    text = re.sub(r"\\\n\s*", " ", readme())
    return [line.strip() for line in text.splitlines() if line.startswith("    ")]


def reap(proc):
    """Kills `proc` when it still runs, waits for it and closes its outputs."""
    if proc.poll() is None:
        proc.kill()
    proc.wait()
    for pipe in (proc.stdout, proc.stderr):
        if pipe:
            pipe.close()


def got(status, out, err):
    """What a child program gave, for the message of an assertion about it."""
    return "status %s\n--- output:\n%s\n--- error output:\n%s" % (status, out, err)


def text_of(folder, name):
    """The stripped text of a file, or "" while there is none."""
    try:
        with open(os.path.join(folder, name)) as f:
            return f.read().strip()
    except FileNotFoundError:
        return ""


class ReadmeTest(unittest.TestCase):
    def built_tree(self):
        """A top folder as the README assumes it: build/ (the build under test) and
        python/ beside each other."""
        if sys.version_info[:2] != (3, 13):
            self.skipTest("not run by Python 3.13")
        build = os.path.dirname(tools_bin())
        top = tempfile.mkdtemp(prefix="zelmo-readme-")
        self.addCleanup(shutil.rmtree, top, ignore_errors=True)
        os.symlink(build, os.path.join(top, "build"))
        os.symlink(os.path.join(ROOT, "python"), os.path.join(top, "python"))
        return top

    def write_example(self, top, name, code):
        """The command that runs one example program from the top folder, with its
        environment."""
        path = os.path.join(top, name)
        with open(path, "w") as f:
            f.write(code)
        env = dict(os.environ, PYTHONPATH="build/python:python", PYTHONDONTWRITEBYTECODE="1")
        return [sys.executable, path], env

    def run_example(self, top, name, code):
        """Runs one example program from the top folder: it ends well, with the query
        error the examples show in its output."""
        command, env = self.write_example(top, name, code)
        status, out, err = run_bounded(command, timeout=60, cwd=top, env=env)
        self.assertEqual((status, "2209 Errore di esecuzione della query" in out,
                          "Traceback" in err), (0, True, False), got(status, out, err))

    def test_python_examples_run_as_written(self):
        blocks = code_blocks("python")
        self.assertTrue(blocks, "README.md has no Python example")
        top = self.built_tree()
        for number, code in enumerate(blocks):
            with self.subTest(block=number):
                self.run_example(top, "example%d.py" % number, code)

    def test_the_python_guide_is_linked_and_runs_as_written(self):
        self.assertIn("(docs/python.md)", readme())
        import zelmolib  # noqa: F401
        import _zelmolib
        guide = readme(GUIDE)
        for owner in [_zelmolib] + [getattr(_zelmolib, t) for t in (
                "Client", "Decimal", "Deferred", "JSONEncoder", "JSONDecoder", "NamedSemaphore")]:
            for name, value in vars(owner).items():
                if callable(value) and not name.startswith("__") or name in (
                        "__round__", "__reduce__", "__copy__", "__deepcopy__"):
                    with self.subTest(name=name):
                        self.assertRegex(guide, r"`(%s\.)?%s[(`]" % (owner.__name__, name))
        blocks = code_blocks("python", GUIDE)
        self.assertGreaterEqual(len(blocks), 5)
        self.run_example(self.built_tree(), "guide.py", "".join(blocks))

    def test_another_python_is_told_what_the_module_is_built_for(self):
        python = other_python()
        if not python:
            self.skipTest("no Python other than 3.13 installed")
        build = os.path.dirname(tools_bin())
        env = dict(os.environ, PYTHONPATH="%s/python:%s/python" % (build, ROOT))
        status, out, err = run_bounded([python, "-c", "try:\n import zelmolib\n"
                                        "except ImportError as e:\n print(e.name, e)"], env=env)
        self.assertEqual(status, 0, err)
        self.assertRegex(out, r"^_zelmolib the native module _zelmolib is built for CPython "
                              r"3\.13; this is \w+ 3\.\d+\.\d+ \(%s\): " % re.escape(python))

    def test_a_ctrl_c_of_an_example_does_not_reach_its_server(self):
        """The README's example and the guide's program start the stand-in server in a
        process group of its own: a Ctrl-C at the terminal (SIGINT to the program's
        process group) reaches the program alone, which can then stop the server."""
        top = self.built_tree()
        for path in (README, GUIDE):
            with self.subTest(example=os.path.basename(path)):
                first = code_blocks("python", path)[0]
                self.assertIn(SERVER_STARTED, first)
                code = first[:first.index(SERVER_STARTED) + len(SERVER_STARTED)] + AFTER_CTRL_C
                command, env = self.write_example(top, "ctrl_c.py", code)
                # A session of its own makes the program a process group, as a shell's job.
                proc = subprocess.Popen(command, cwd=top, env=env, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                        text=True, start_new_session=True)
                watchdog = threading.Timer(60, os.killpg, (proc.pid, signal.SIGKILL))
                watchdog.start()
                try:
                    pid = proc.stdout.readline()
                    if pid.strip().isdigit():
                        os.killpg(proc.pid, signal.SIGINT)
                    out, err = proc.communicate()
                    self.assertEqual((pid.strip().isdigit(), proc.returncode, out.split()),
                                     (True, 0, ["running", "0"]),
                                     got(proc.returncode, pid + out, err))
                finally:
                    watchdog.cancel()
                    reap(proc)
                self.assertEqual(session_processes(proc.pid), [])

    def test_the_demo_builds_the_share_of_the_build_the_readme_gives(self):
        """The README's "about N of the M build steps" of ./demo.sh's first build, counted
        within a tenth in the build under test when it is configured as ./setup.sh
        configures it (sanitizer and analysis builds have other steps)."""
        build = os.path.dirname(tools_bin())
        cache = text_of(build, "CMakeCache.txt")
        ninja = shutil.which("ninja")
        expected = ("CMAKE_BUILD_TYPE:STRING=RelWithDebInfo", "ZELMO_BENCH:BOOL=ON",
                    "ZELMO_SANITIZE:BOOL=OFF", "ZELMO_TSAN:BOOL=OFF", "ZELMO_FUZZ:BOOL=OFF",
                    "ZELMO_THREAD_SAFETY:BOOL=OFF")
        if not ninja or not all(line in cache.splitlines() for line in expected):
            self.skipTest("the build under test is not configured as ./setup.sh does")
        said = re.search(r"about (\d+) of the (\d+) build steps", readme())
        self.assertIsNotNone(said, "README.md gives no count of build steps")
        for target, number in zip(("demo", "all"), map(int, said.groups())):
            status, out, err = run_bounded([ninja, "-C", build, "-t", "commands", target])
            self.assertEqual(status, 0, err)
            steps = len(out.splitlines())
            with self.subTest(target=target, steps=steps, said=number):
                self.assertLessEqual(abs(steps - number), number / 10)

    def test_named_programs_answer_help(self):
        tools = tools_bin()
        build = os.path.dirname(tools)
        named = sorted(set(re.findall(r"build/((?:tools|bench)/\w+)", readme())))
        self.assertIn("tools/business_server", named)
        for program in named:
            path = os.path.join(build, program)
            if program.startswith("bench/") and not os.access(path, os.X_OK):
                continue  # benchmarks are optional
            with self.subTest(program=program):
                status, out, err = run_bounded([path, "--help"], timeout=10,
                                               stdin=subprocess.DEVNULL)
                self.assertEqual(status, 0, err)
                self.assertTrue(out.startswith("usage: "), out)
        # Started as a program, the demo finds an interpreter itself.
        self.assertIn("`examples/demo.py --help`", readme())
        status, out, err = run_bounded([DEMO_PY, "--help"], timeout=30, cwd=ROOT,
                                       stdin=subprocess.DEVNULL)
        self.assertEqual(status, 0, err)
        self.assertTrue(out.startswith("usage: demo.py"), out)

    def test_the_server_commands_run_as_written(self):
        """The by-hand lines, on a free port rather than the README's (which is not the
        clients' default), each serving until it is stopped; in the background of a
        script its standard input is /dev/null."""
        top = self.built_tree()
        commands = [c for c in shell_commands() if "build/tools/business_server" in c]
        self.assertEqual(len(commands), 3, commands)
        for command in commands:
            with self.subTest(command=command):
                self.assertNotIn("51965", command)
                # Below Linux's range for outgoing connections, where none can hold it.
                given = int(re.search(r"--port (\d+)", command).group(1))
                self.assertTrue(1024 <= given < 32768, given)
                with socket.socket() as probe:
                    probe.bind(("127.0.0.1", 0))
                    port = probe.getsockname()[1]
                line = re.sub(r"--port \d+", "--port %d" % port, command)
                if line.endswith("&"):
                    script = subprocess.run(["bash", "-c", line + "\necho $!"], cwd=top,
                                            stdin=subprocess.DEVNULL, capture_output=True,
                                            text=True, timeout=30, start_new_session=True)
                    pid = int(script.stdout)
                    self.assertTrue(wait_for(lambda: text_of(top, "server.port") == str(port)))
                    socket.create_connection(("127.0.0.1", port)).close()
                    os.kill(pid, signal.SIGTERM)
                    self.assertTrue(wait_for(lambda: not os.path.exists("/proc/%d" % pid)))
                    continue
                # The foreground line: ended by its input closing (a pipe, as the
                # tests and the demo end it) or by Ctrl-C (from a terminal).
                for stdin in ("pipe", "terminal"):
                    terminal, terminal_end = os.openpty()
                    proc = subprocess.Popen(
                        line.split(), cwd=top, stdout=subprocess.PIPE,
                        stdin=subprocess.PIPE if stdin == "pipe" else terminal_end,
                        stderr=subprocess.DEVNULL, text=True, start_new_session=True)
                    os.close(terminal_end)
                    try:
                        self.assertEqual(proc.stdout.readline().strip(), str(port))
                        socket.create_connection(("127.0.0.1", port)).close()
                        if stdin == "pipe":
                            proc.stdin.close()
                        else:
                            proc.send_signal(signal.SIGINT)
                        self.assertEqual(proc.wait(timeout=30), 0)
                    finally:
                        os.close(terminal)
                        reap(proc)
                    self.assertEqual(session_processes(proc.pid), [])

    def test_the_test_command_fails_without_tests(self):
        ctest = shutil.which("ctest")
        if not ctest:
            self.skipTest("ctest is not installed")
        commands = [c for c in shell_commands() if c.startswith("ctest ")]
        self.assertEqual(len(commands), 1, commands)
        self.assertIn("--no-tests=error", commands[0])
        # A failed configure leaves a build folder without tests.
        empty = tempfile.mkdtemp(prefix="zelmo-no-tests-")
        self.addCleanup(shutil.rmtree, empty, ignore_errors=True)
        command = commands[0].replace("--test-dir build", "--test-dir " + empty)
        command = command.replace('"$(nproc)"', "2")
        status, out, err = run_bounded(command.split(), timeout=60)
        self.assertNotEqual(status, 0, out + err)
        self.assertIn("No tests were found", out + err)

    def test_ci_runs_every_ctest_with_no_tests_error(self):
        with open(os.path.join(ROOT, ".ci", "run")) as f:
            ci = re.sub(r"\\\n\s*", " ", f.read())
        runs = [line for line in ci.splitlines() if re.search(r"(^|\s)ctest\s", line)]
        self.assertGreaterEqual(len(runs), 3)
        for line in runs:
            self.assertIn("--no-tests=error", line)


if __name__ == "__main__":
    unittest.main()
