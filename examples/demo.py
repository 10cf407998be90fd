#!/bin/sh
# Started as a program: sh runs the next line, which hands this file to the Python 3.13
# the build uses (./setup.sh --find-python), else to python3, which says how to run it.
# Python reads the two lines as a string.
'''exec' "$("$(dirname "$0")/../setup.sh" --find-python 2>/dev/null || echo python3)" "$0" "$@"
' '''
"""A session with the business server as an application meets it.

Starts the stand-in business server on loopback, connects to it, authenticates,
lists the drivers and databases, opens a database, runs a long query while a
progress bar follows the server's progress reports, prints the result as a
table, disconnects and stops the server. Ctrl-C ends it cleanly: it says
"interrupted", stops the server and exits with status 130.

    examples/demo.py [--build DIR] [--server PROGRAM] [--query SQL]

The native module and the package are looked for in DIR/python and python/
(DIR defaults to build/); the server program defaults to DIR/tools/business_server.
./demo.sh builds them and runs this with the Python 3.13 the build uses.
"""

import argparse
import os
import signal
import subprocess
import sys
import threading

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

DRIVER, DATABASE = "sqlite", "demo"
USER, PASSWORD = "admin", "secret"
QUERY = "SELECT * FROM slow_report"
BAR_WIDTH = 30
PROGRESS_EXECUTE = 2  # progress kind of the reports that come while the server works
WAIT_SECONDS = 60
INTERRUPTED = 130  # the exit status of a program ended by Ctrl-C


def parse_arguments():
    parser = argparse.ArgumentParser(
        description="The demo session: starts the stand-in business server, connects, "
                    "runs a long query with a progress bar and stops the server.")
    parser.add_argument("--build", default=os.path.join(ROOT, "build"),
                        help="build folder (default: build/)")
    parser.add_argument("--server", help="business server program")
    parser.add_argument("--query", default=QUERY, help="query to run")
    parser.add_argument("--slow-ms", type=int, default=1500,
                        help="how long the server works on the long query")
    return parser.parse_args()


def how_to_run(build):
    """The command that runs the demo with the interpreter the build was made for."""
    try:
        with open(os.path.join(build, "python-interpreter")) as f:
            python = f.read().strip()
    except OSError:
        python = ""
    if not python:
        return "./demo.sh builds the module and runs the demo"
    return ("./demo.sh builds and runs it, or run it with the interpreter of the build: "
            "%s examples/demo.py" % python)


def load_module(build):
    """Puts the built module and the package on the path and imports them; a message
    that says how to run the demo instead when this interpreter cannot."""
    if sys.version_info[:2] != (3, 13):
        raise SystemExit("examples/demo.py needs Python 3.13, the version the native module "
                         "is built for (this is %d.%d, %s): %s."
                         % (sys.version_info[0], sys.version_info[1], sys.executable,
                            how_to_run(build)))
    for folder in (os.path.join(ROOT, "python"), os.path.join(build, "python")):
        if folder not in sys.path:
            sys.path.insert(0, folder)
    try:
        import zelmolib  # noqa: F401  (the package loads the native module)
        import _zelmolib
    except ImportError as e:
        if getattr(e, "name", None) == "_zelmolib":
            raise SystemExit("The native module _zelmolib is not built in %s: ./demo.sh "
                             "(or ./setup.sh demo) builds it."
                             % os.path.join(build, "python")) from None
        raise SystemExit("Cannot load the native module from %s (%s): ./setup.sh rebuilds it."
                         % (os.path.join(build, "python"), e)) from None
    return zelmolib, _zelmolib


class Server:
    """The stand-in business server as a child process; it prints its port first
    and ends when its standard input closes. It has a process group of its own, so
    that Ctrl-C at the terminal reaches only the demo, which stops it in turn."""

    def __init__(self, program, slow_ms):
        if not os.access(program, os.X_OK):
            raise SystemExit("%s is not built: ./demo.sh (or ./setup.sh demo) builds it"
                             % program)
        self.command = [program, "--slow-ms", str(slow_ms)]
        self.proc = None
        self.port = 0

    def start(self):
        self.proc = subprocess.Popen(self.command, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     process_group=0)
        line = self.proc.stdout.readline().strip()
        if not line.isdigit():
            raise SystemExit("the business server did not start")
        self.port = int(line)

    def stop(self):
        """Whether a running server was stopped."""
        if self.proc is None:
            return False
        try:
            self.proc.stdin.close()
            self.proc.wait(10)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
        self.proc = None
        return True


class ProgressBar:
    """Draws the progress reports of one request; called on a worker thread. The
    client calls it every 100 ms with the server's latest report while the request
    runs, so `updates` counts those calls, not the reports the server sent."""

    def __init__(self, out):
        self.out = out
        self.updates = 0
        self.shown = -1
        self.lock = threading.Lock()
        self.redraw = out.isatty()
        self.mid_line = False  # a redrawn bar waits for its newline
        self.stopped = False

    def draw(self, percent, message):
        filled = int(BAR_WIDTH * percent / 100)
        line = "[%s%s] %3d%%  %s" % ("#" * filled, "-" * (BAR_WIDTH - filled), percent,
                                     message)
        if self.redraw:
            self.out.write("\r" + line.ljust(BAR_WIDTH + 30))
            self.mid_line = True
        else:
            self.out.write(line + "\n")
        self.out.flush()

    def report(self, kind, completeness, message, userdata):
        # The server's reports carry its text; the other kinds mark the client's own steps.
        with self.lock:
            if self.stopped:
                return False  # cancels the request
            if kind != PROGRESS_EXECUTE or not message:
                return True
            self.updates += 1
            if completeness < 0:
                completeness = max(self.shown, 0)  # the server did not say how far it is
            percent = max(0, min(100, int(completeness)))
            # On a terminal every update redraws the bar; in a log, every tenth percent.
            if self.redraw or percent // 10 > self.shown // 10:
                self.shown = percent
                self.draw(percent, message)
        return True

    def finish(self):
        with self.lock:
            self.draw(100, "done (%d progress updates, one every 100 ms while the server "
                           "worked)" % self.updates)
            self.close_line()

    def stop(self):
        """No more drawing; the request is cancelled at its next update."""
        with self.lock:
            self.stopped = True
            self.close_line()

    def close_line(self):
        if self.mid_line:
            self.out.write("\n")
            self.out.flush()
            self.mid_line = False


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


class Demo:
    """The session's steps; what they start is stopped by close(), whichever way the
    session ends."""

    def __init__(self, zelmolib, _zelmolib, server, out):
        self.zelmolib = zelmolib
        self._zelmolib = _zelmolib
        self.server = server
        self.out = out
        self.client = None
        self.bar = None

    def run(self, query):
        self.server.start()
        self.out.write("Started the stand-in business server on 127.0.0.1:%d\n"
                       % self.server.port)
        try:
            return self.session(query)
        except self.zelmolib.Error as e:
            self.out.write("Server error: [%s] %s\n" % (e.code, e.message))
            return 1

    def session(self, query):
        out = self.out
        self.client = client = self._zelmolib.Client()
        port = self.server.port
        info = client.connect(host="127.0.0.1", port=port, timeout=10000)
        out.write("Connected to %s (%s) at 127.0.0.1:%d as client %d\n"
                  % (info.get("name"), info.get("desc"), port, client.get_id()))

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
        result, failure = self.run_query(query)
        if result is None:
            out.write("The query failed: [%d] %s\n" % failure)
            return 1
        affected, columns, rows = result
        out.write("\n")
        print_table(columns, rows, out)
        out.write("(%d rows)\n" % len(rows))
        client.close_database()
        return 0

    def run_query(self, query):
        """The query runs with callbacks so that its progress reports reach the bar
        and Ctrl-C reaches this thread, which waits on an event meanwhile."""
        self.bar = bar = ProgressBar(self.out)
        done = threading.Event()
        outcome = {}

        def success(affected, columns, rows, userdata):
            outcome["result"] = (affected, columns, rows)
            done.set()

        def error(code, message, userdata):
            outcome["error"] = (code, message)
            done.set()

        self.client.query_database(query, success=success, error=error,
                                   progress=bar.report)
        if not done.wait(WAIT_SECONDS):
            self.client.interrupt()
            done.wait(WAIT_SECONDS)
        if "result" not in outcome:
            return None, outcome.get("error", (0, "no answer"))
        bar.finish()
        return outcome["result"], None

    def interrupted(self):
        if self.bar:
            self.bar.stop()
        self.out.write("interrupted\n")
        self.out.flush()

    def close(self):
        if self.client is not None:
            self.client.disconnect()
            self.client = None
            self.out.write("\nDisconnected.\n")
        if self.server.stop():
            self.out.write("Stopped the server.\n")
        self.out.flush()


def on_interrupt(signum, frame):
    # Once: a second Ctrl-C does not cut the clean-up short.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    raise KeyboardInterrupt


def main():
    signal.signal(signal.SIGINT, on_interrupt)
    demo = None
    try:
        args = parse_arguments()
        zelmolib, _zelmolib = load_module(args.build)
        program = args.server or os.path.join(args.build, "tools", "business_server")
        demo = Demo(zelmolib, _zelmolib, Server(program, args.slow_ms), sys.stdout)
        status = demo.run(args.query)
    except KeyboardInterrupt:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        if demo:
            demo.interrupted()
        else:
            sys.stdout.write("interrupted\n")
        status = INTERRUPTED
    finally:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        if demo:
            demo.close()
    return status


if __name__ == "__main__":
    sys.exit(main())
