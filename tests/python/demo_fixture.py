"""What the tests of the set-up and demo scripts share: where things are, the processes
a run left behind, and a stand-in build folder whose "build" is one slow step that
records itself, with the real module and tool programs linked in."""

import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

from client_fixture import tool_program

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SETUP = os.path.join(ROOT, "setup.sh")
DEMO_SH = os.path.join(ROOT, "demo.sh")
DEMO_PY = os.path.join(ROOT, "examples", "demo.py")
README = os.path.join(ROOT, "README.md")


def tools_bin():
    """The built tool programs' folder; a test that needs it fails, saying how to build
    them, when they are not built."""
    return os.path.dirname(os.path.abspath(tool_program("business_server")))


def session_processes(sid):
    """Processes still in session `sid`."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue  # ended while we looked
        if int(fields[3]) == sid and fields[0] != "Z":
            found.append(int(entry))
    return found


def other_python():
    """An installed Python 3 other than 3.13, or None."""
    pyenv = sorted(glob.glob(os.path.expanduser("~/.pyenv/versions/3.*/bin/python3")),
                   key=lambda path: [int(n) for n in re.findall(r"\d+", path)], reverse=True)
    candidates = ["/usr/bin/python3", "/usr/local/bin/python3"] + pyenv
    for python in candidates:
        if os.access(python, os.X_OK) and subprocess.run(
                [python, "-c", "import sys; sys.exit(sys.version_info[:2] == (3, 13))"]
        ).returncode == 0:
            return python
    return None


def kill_session(proc):
    """Ends a process started with a session of its own, and all it started."""
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    proc.wait()


def script_environment(build, **extra):
    """The environment for setup.sh and demo.sh on build folder `build`: no package
    installation, no interpreter named by the caller's environment."""
    env = dict(os.environ, ZELMO_BUILD_DIR=build, ZELMO_INSTALL="no", ZELMO_JOBS="2",
               PYTHONDONTWRITEBYTECODE="1")
    env.pop("ZELMO_PYTHON_ROOT", None)
    env.update(extra)
    return env


# One build step of a second; every run of it appends "start" and "end" to steps.log.
STUB_NINJA = """\
rule step
  command = echo start >> steps.log && sleep 1 && echo end >> steps.log && touch $out
build stamp: step
build demo: phony stamp
build all: phony stamp
default all
"""


class StubBuild:
    """A build folder as setup.sh leaves it (configured with this interpreter), whose
    build is STUB_NINJA; python/ and tools/ are the real build's."""

    def __init__(self):
        if sys.version_info[:2] != (3, 13) or not shutil.which("ninja"):
            raise unittest.SkipTest("needs Python 3.13 and ninja")
        tools = tools_bin()
        self.folder = tempfile.mkdtemp(prefix="zelmo-stub-build-")
        root = os.path.dirname(os.path.dirname(sys.executable))
        self.write("CMakeCache.txt", "ZELMO_PYTHON_ROOT:PATH=%s\n" % root)
        self.write("python-interpreter", sys.executable + "\n")
        self.write("build.ninja", STUB_NINJA)
        os.symlink(os.path.join(os.path.dirname(tools), "python"),
                   os.path.join(self.folder, "python"))
        os.symlink(tools, os.path.join(self.folder, "tools"))

    def write(self, name, text):
        with open(os.path.join(self.folder, name), "w") as f:
            f.write(text)

    def steps(self):
        try:
            with open(os.path.join(self.folder, "steps.log")) as f:
                return f.read().split()
        except FileNotFoundError:
            return []

    def remove(self):
        shutil.rmtree(self.folder, ignore_errors=True)


def run_bounded(command, timeout=60, **kwargs):
    """Runs `command` in a session of its own; (status, stdout, stderr). The test fails
    when it does not end in time or leaves a process behind; either is killed."""
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, start_new_session=True, **kwargs)
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        kill_session(proc)
        proc.communicate()
        raise AssertionError("%s did not end within %d s" % (command, timeout))
    left = session_processes(proc.pid)
    if left:
        kill_session(proc)
        raise AssertionError("%s left processes behind: %s" % (command, left))
    return proc.returncode, out, err
