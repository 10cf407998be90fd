"""How setup.sh chooses the CPython 3.13 to build for (./setup.sh --find-python), run
against made-up installations: stand-in interpreters that answer its probe with a
version, whether the C headers are there, and their own path."""

import os
import shutil
import sys
import tempfile
import unittest

from demo_fixture import SETUP, run_bounded

# What setup.sh runs besides the interpreters it probes.
COMMANDS = ("bash", "readlink", "dirname", "sort", "cat", "sed")


class FindPythonTest(unittest.TestCase):
    def setUp(self):
        self.top = tempfile.mkdtemp(prefix="zelmo-find-python-")
        self.addCleanup(shutil.rmtree, self.top, ignore_errors=True)
        self.home = self.folder("home")
        self.build = self.folder("build")
        self.path_bin = self.folder("path-bin")
        system = self.folder("system-bin")
        for name in COMMANDS:
            found = shutil.which(name)
            if not found:
                self.skipTest("%s is not installed" % name)
            os.symlink(found, os.path.join(system, name))
        self.path = "%s:%s" % (self.path_bin, system)

    def folder(self, *names):
        path = os.path.join(self.top, *names)
        os.makedirs(path, exist_ok=True)
        return path

    def interpreter(self, folder, name="python3.13", version="3.13", headers=True):
        """A stand-in interpreter; its path."""
        path = os.path.join(folder, name)
        with open(path, "w") as f:
            f.write("#!/bin/sh\necho '%s %d %s'\n" % (version, int(headers), path))
        os.chmod(path, 0o755)
        return path

    def pyenv(self, name, **kwargs):
        return self.interpreter(self.folder("home", ".pyenv", "versions", name, "bin"),
                                **kwargs)

    def find(self, root=None):
        env = {"PATH": self.path, "HOME": self.home, "ZELMO_BUILD_DIR": self.build}
        if root is not None:
            env["ZELMO_PYTHON_ROOT"] = root
        return run_bounded(["bash", SETUP, "--find-python"], timeout=30, env=env)

    def assertChosen(self, result, path):
        """Found: its path alone, and nothing on stderr, whichever way it was found."""
        status, out, err = result
        self.assertEqual(status, 0, err)
        self.assertEqual(out, path + "\n")
        self.assertEqual(err, "")

    def test_the_variable_comes_first(self):
        self.pyenv("3.13.1")
        self.interpreter(self.path_bin)
        root = self.folder("opt", "python3.13")
        chosen = self.interpreter(self.folder("opt", "python3.13", "bin"))
        self.assertChosen(self.find(root), chosen)

    def test_a_root_with_only_python3_is_taken(self):
        root = self.folder("prefix")
        chosen = self.interpreter(self.folder("prefix", "bin"), name="python3")
        self.assertChosen(self.find(root), chosen)

    def test_a_wrong_variable_is_named_not_passed_over(self):
        self.pyenv("3.13.1")
        status, out, err = self.find(self.folder("empty"))
        self.assertEqual(status, 1)
        self.assertEqual(out, "")
        self.assertIn("ZELMO_PYTHON_ROOT=%s holds no usable Python 3.13: it has no "
                      "bin/python3.13 nor bin/python3" % self.folder("empty"), err)
        self.interpreter(self.folder("old", "bin"), name="python3", version="3.11")
        status, _, err = self.find(self.folder("old"))
        self.assertEqual(status, 1)
        self.assertIn("bin/python3 is Python 3.11", err)

    def test_missing_headers_say_which_package(self):
        self.interpreter(self.folder("usr", "bin"), headers=False)
        status, _, err = self.find(self.folder("usr"))
        self.assertEqual(status, 1)
        self.assertIn("has no C headers (Python.h; on Debian: apt-get install "
                      "python3.13-dev)", err)

    def test_the_newest_pyenv_version_before_the_path(self):
        self.pyenv("3.13.2")
        newest = self.pyenv("3.13.10")
        self.pyenv("3.12.7", version="3.12")
        self.interpreter(self.path_bin)
        self.assertChosen(self.find(), newest)

    def test_the_path_when_pyenv_has_none_that_fits(self):
        self.pyenv("3.13.0", headers=False)
        chosen = self.interpreter(self.path_bin)
        self.assertChosen(self.find(), chosen)

    def test_the_build_keeps_its_interpreter(self):
        remembered = self.interpreter(self.folder("elsewhere"))
        with open(os.path.join(self.build, "python-interpreter"), "w") as f:
            f.write(remembered + "\n")
        self.pyenv("3.13.1")
        self.assertChosen(self.find(), remembered)
        # The variable still wins: an explicit choice switches.
        root = self.folder("opt")
        chosen = self.interpreter(self.folder("opt", "bin"))
        self.assertChosen(self.find(root), chosen)

    def test_a_build_configured_by_hand_keeps_its_interpreter(self):
        root = self.folder("by-hand")
        chosen = self.interpreter(self.folder("by-hand", "bin"))
        with open(os.path.join(self.build, "CMakeCache.txt"), "w") as f:
            f.write("ZELMO_PYTHON_ROOT:PATH=%s\n" % root)
        self.pyenv("3.13.1")
        self.assertChosen(self.find(), chosen)

    def test_a_remembered_interpreter_that_is_gone_is_replaced(self):
        with open(os.path.join(self.build, "python-interpreter"), "w") as f:
            f.write(os.path.join(self.top, "gone", "python3.13") + "\n")
        chosen = self.pyenv("3.13.1")
        self.assertChosen(self.find(), chosen)

    def test_none_found_lists_what_was_looked_at(self):
        self.pyenv("3.13.0", version="3.12")
        status, out, err = self.find()
        self.assertEqual(status, 1)
        self.assertEqual(out, "")
        lines = err.splitlines()
        self.assertEqual(lines[0], "setup.sh: found no CPython 3.13 with its C headers. "
                                   "Looked at:")
        self.assertEqual(lines[1:4], [
            "  ZELMO_PYTHON_ROOT: not set",
            "  %s/.pyenv/versions/3.13.0/bin/python3.13 is Python 3.12" % self.home,
            "  python3.13 on the PATH: none"])
        self.assertIn("ZELMO_PYTHON_ROOT=/prefix/of/python3.13 ./setup.sh", err)
        self.assertIn("README.md", err)

    def test_a_real_interpreter_passes_the_probe(self):
        if sys.version_info[:2] != (3, 13):
            self.skipTest("not run by Python 3.13")
        root = os.path.dirname(os.path.dirname(sys.executable))
        status, out, err = self.find(root)
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(os.path.realpath(out.strip()), os.path.realpath(sys.executable))


if __name__ == "__main__":
    unittest.main()
