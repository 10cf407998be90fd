"""A session with the business server as an application meets it.

Starts the stand-in business server on loopback, connects to it, authenticates,
lists the drivers and databases, opens a database, runs a long query while a
progress bar follows the server's progress reports, prints the result as a
table, disconnects and stops the server.

    python3 examples/demo.py [--build DIR] [--server PROGRAM] [--query SQL]

The native module and the package are looked for in DIR/python and python/
(DIR defaults to build/); the server program defaults to DIR/tools/business_server.
"""

import argparse
import os
import subprocess
import sys
import threading

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

DRIVER, DATABASE = "sqlite", "demo"
USER, PASSWORD = "admin", "secret"
QUERY = "SELECT * FROM slow_report"
BAR_WIDTH = 30
PROGRESS_EXECUTE = 2  # progress type of the reports that come while the server works
WAIT_SECONDS = 60


def parse_arguments():
    parser = argparse.ArgumentParser(description="zelmolib demo session")
    parser.add_argument("--build", default=os.path.join(ROOT, "build"),
                        help="build folder (default: build/)")
    parser.add_argument("--server", help="business server program")
    parser.add_argument("--query", default=QUERY, help="query to run")
    parser.add_argument("--slow-ms", type=int, default=1500,
                        help="how long the server works on the long query")
    return parser.parse_args()


def load_module(build):
    """Puts the built module and the package on the path and imports them."""
    for folder in (os.path.join(ROOT, "python"), os.path.join(build, "python")):
        if folder not in sys.path:
            sys.path.insert(0, folder)
    import zelmolib  # noqa: F401  (the package loads the native module)
    import _zelmolib
    return zelmolib, _zelmolib


class Server:
    """The stand-in business server as a child process; it prints its port first
    and ends when its standard input closes."""

    def __init__(self, program, slow_ms):
        if not os.access(program, os.X_OK):
            raise SystemExit("%s is not built: run ./setup.sh first" % program)
        self.proc = subprocess.Popen([program, "--slow-ms", str(slow_ms)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL)
        line = self.proc.stdout.readline().strip()
        if not line.isdigit():
            self.stop()
            raise SystemExit("the business server did not start")
        self.port = int(line)

    def stop(self):
        try:
            self.proc.stdin.close()
            self.proc.wait(10)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()


class ProgressBar:
    """Draws the progress reports of one request; called on a worker thread."""

    def __init__(self, out):
        self.out = out
        self.reports = 0
        self.shown = -1
        self.lock = threading.Lock()
        self.redraw = out.isatty()

    def draw(self, percent, message):
        filled = int(BAR_WIDTH * percent / 100)
        line = "[%s%s] %3d%%  %s" % ("#" * filled, "-" * (BAR_WIDTH - filled), percent,
                                     message)
        if self.redraw:
            self.out.write("\r" + line.ljust(BAR_WIDTH + 30))
        else:
            self.out.write(line + "\n")
        self.out.flush()

    def report(self, kind, completeness, message, userdata):
        # The server's reports carry its text; the others mark the client's own steps.
        if kind != PROGRESS_EXECUTE or not message:
            return True
        with self.lock:
            self.reports += 1
            if completeness < 0:
                completeness = max(self.shown, 0)  # the server did not say how far it is
            percent = max(0, min(100, int(completeness)))
            # On a terminal every report redraws the bar; in a log, every tenth.
            if self.redraw or percent // 10 > self.shown // 10:
                self.shown = percent
                self.draw(percent, message)
        return True

    def finish(self):
        with self.lock:
            self.draw(100, "done (%d progress reports from the server)" % self.reports)
            if self.redraw:
                self.out.write("\n")


def format_value(value):
    if isinstance(value, float):
        return "%.2f" % value
    if isinstance(value, bool):
        return "yes" if value else "no"
    if value is None:
        return ""
    if isinstance(value, bytes):
        return value.hex()
    return str(value)


def print_table(columns, rows, out):
    """Columns of numbers align right, others left."""
    cells = [[format_value(v) for v in row] for row in rows]
    widths = [len(c) for c in columns]
    for row in cells:
        for i, cell in enumerate(row):
            widths[i] = max(widths[i], len(cell))
    numeric = [bool(rows) and all(isinstance(row[i], (int, float)) and
                                  not isinstance(row[i], bool) for row in rows)
               for i in range(len(columns))]

    def line(values):
        return "  ".join(v.rjust(w) if n else v.ljust(w)
                         for v, w, n in zip(values, widths, numeric)).rstrip()

    out.write(line(columns) + "\n")
    out.write("  ".join("-" * w for w in widths) + "\n")
    for row in cells:
        out.write(line(row) + "\n")


def run_query(client, query, out):
    """The query runs asynchronously so that its progress reports reach the bar."""
    bar = ProgressBar(out)
    done = threading.Event()
    outcome = {}

    def success(affected, columns, rows, userdata):
        outcome["result"] = (affected, columns, rows)
        done.set()

    def error(code, message, userdata):
        outcome["error"] = (code, message)
        done.set()

    client.query_database(query, success=success, error=error, progress=bar.report)
    if not done.wait(WAIT_SECONDS):
        client.interrupt()
        done.wait(WAIT_SECONDS)
    if "error" in outcome or "result" not in outcome:
        return None, outcome.get("error", (0, "no answer"))
    bar.finish()
    return outcome["result"], bar.reports


def session(zelmolib, _zelmolib, port, query, out):
    client = _zelmolib.Client()
    info = client.connect(host="127.0.0.1", port=port, timeout=10000)
    out.write("Connected to %s (%s) at 127.0.0.1:%d as client %d\n"
              % (info.get("name"), info.get("desc"), port, client.get_id()))
    try:
        out.write("\nDatabase drivers:\n")
        for driver in client.list_drivers():
            out.write("  %-10s %s\n" % (driver["name"], driver["description"]))

        out.write("\nDatabases:\n")
        for driver, databases in sorted(client.list_databases().items()):
            for database in databases:
                out.write("  %-10s %-12s %s\n" % (driver, database["name"],
                                                  database.get("description", "")))

        database = client.open_database(DRIVER, DATABASE)
        out.write("\nOpened %s/%s (%s)\n" % (DRIVER, DATABASE, database.get("uuid", "")))
        user = client.authenticate(USER, PASSWORD)
        out.write("Authenticated as %s (%s)\n" % (user.get("name"), user.get("full_name")))

        out.write("\n%s\n" % query)
        result, detail = run_query(client, query, out)
        if result is None:
            code, message = detail
            out.write("The query failed: [%d] %s\n" % (code, message))
            return 1
        affected, columns, rows = result
        out.write("\n")
        print_table(columns, rows, out)
        out.write("(%d rows)\n" % len(rows))
        client.close_database()
        return 0
    except zelmolib.Error as e:
        out.write("Server error: [%s] %s\n" % (e.code, e.message))
        return 1
    finally:
        client.disconnect()
        out.write("\nDisconnected.\n")


def main():
    args = parse_arguments()
    zelmolib, _zelmolib = load_module(args.build)
    program = args.server or os.path.join(args.build, "tools", "business_server")
    out = sys.stdout
    server = Server(program, args.slow_ms)
    out.write("Started the stand-in business server on 127.0.0.1:%d\n" % server.port)
    try:
        status = session(zelmolib, _zelmolib, server.port, args.query, out)
    finally:
        server.stop()
        out.write("Stopped the server.\n")
    return status


if __name__ == "__main__":
    sys.exit(main())
