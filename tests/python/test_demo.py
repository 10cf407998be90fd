"""The demo session end to end: it runs against the stand-in business server,
prints the query's result as a table after progress reports, exits 0 and leaves no
process behind."""

import os
import re
import subprocess
import sys
import unittest

from client_fixture import tool_program, tools_folder
from demo_fixture import DEMO_PY as DEMO, session_processes


class DemoTest(unittest.TestCase):
    def run_demo(self, *args):
        server = tool_program("business_server")
        build = os.path.dirname(os.path.abspath(tools_folder()))
        proc = subprocess.Popen([sys.executable, DEMO, "--build", build, "--server", server, *args],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                start_new_session=True)
        try:
            out, err = proc.communicate(timeout=120)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, 9)
            proc.communicate()
            raise
        self.assertEqual(session_processes(proc.pid), [], "the demo left processes behind")
        return proc.returncode, out, err

    def test_demo_session(self):
        code, out, err = self.run_demo("--slow-ms", "500")
        self.assertEqual(code, 0, out + err)
        self.assertRegex(out, r"Started the stand-in business server on 127\.0\.0\.1:\d+")
        self.assertIn("Connected to business_server", out)
        self.assertRegex(out, r"\n  sqlite +demo ")
        self.assertIn("Opened sqlite/demo", out)
        self.assertIn("Authenticated as admin (Administrator)", out)
        reports = re.search(r"\] 100%  done \((\d+) progress updates, one every 100 ms "
                            r"while the server worked\)", out)
        self.assertIsNotNone(reports, out)
        self.assertGreater(int(reports.group(1)), 0)
        lines = out.splitlines()
        header = lines.index("month  customer         total")
        self.assertEqual(lines[header + 1], "-----  -------------  -------")
        self.assertEqual(lines[header + 2], "    1  Bruno Bianchi  1037.50")
        self.assertEqual(lines[header + 14], "(12 rows)")
        self.assertEqual(lines[-2:], ["Disconnected.", "Stopped the server."])

    def test_failed_query_exits_non_zero(self):
        code, out, _ = self.run_demo("--query", "SELECT * FROM nowhere")
        self.assertEqual(code, 1)
        self.assertIn("The query failed: [2209] Errore di esecuzione della query: "
                      "no such table: nowhere", out)
        self.assertTrue(out.endswith("Disconnected.\nStopped the server.\n"), out)


if __name__ == "__main__":
    unittest.main()
