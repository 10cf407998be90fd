"""Replies the RPC server loses of clients that read them, two servers side by side:
the stand-in rpc_test_server of each build folder given (defaults: budget 256 MiB,
cap 512 MiB, time-out 60 s), one case at a time on each in turn, every round. The
readers are hostile_peer's read mode (from the last folder's tools, or --peer's),
each asking its reply at once and reading it at its pace; a reply is lost when the
server cuts its reader off. Each case prints, for each round, what each group of readers
saw (a slow reader sees its cut only once it has read what the kernel still held) and
how many clients the server's log says it cut for time or for the unread replies past
the cap.

  full    4 readers of 8 MiB replies at full speed beside 8 clients asking small
          ones, for 30 s: replies cut of replies read whole
  2x256   2 readers of 256 MiB at 20 MiB/s
  3x200   3 readers of 200 MiB at 10 MiB/s
  9x64    9 readers of 64 MiB at 4 MiB/s
  7+1     7 readers of 64 MiB at 64 KiB/s, then (2 s later) one of 128 MiB at 20 MiB/s
          beside them: the slow ones' losses within 15 s, then the fast reader's
  1+3x200 one reader of 6 MiB at 128 KiB/s in steps of 96 KiB, 0.75 s apart, then (1 s
          later) 3 of 200 MiB at 10 MiB/s beside it
  1+3x200near  the same with the 3 started 0.1 s after it, so that its reply begins to
          wait as the cap is passed, before its socket's first step
  bursts  3 readers of 200 MiB at 5 MiB/s in bursts of 8 MiB at full speed

    python bench/python/reader_cuts.py --build /work/wt/base/build --build build [--rounds 3]
"""

import argparse
import os
import re
import subprocess
import tempfile
import time

PATTERN = 7  # rpc_test_server's command: "bytes" back
MIB = 1 << 20

# name: [(count, reply bytes, bytes a second (0: full speed), replies each (0: until the
# run ends), seconds before they start, bursts (0: steadily))], seconds
CASES = {
    "full": ([(4, 8 * MIB, 0, 0, 0, 0), (8, 16, 0, 0, 0, 0)], 30),
    "2x256": ([(2, 256 * MIB, 20 * MIB, 1, 0, 0)], 40),
    "3x200": ([(3, 200 * MIB, 10 * MIB, 1, 0, 0)], 40),
    "9x64": ([(9, 64 * MIB, 4 * MIB, 1, 0, 0)], 40),
    "7+1": ([(7, 64 * MIB, 64 << 10, 1, 0, 0), (1, 128 * MIB, 20 * MIB, 1, 2, 0)], 15),
    "1+3x200": ([(1, 6 * MIB, 128 << 10, 1, 0, 96 << 10), (3, 200 * MIB, 10 * MIB, 1, 1, 0)], 55),
    "1+3x200near": ([(1, 6 * MIB, 128 << 10, 1, 0, 96 << 10), (3, 200 * MIB, 10 * MIB, 1, 0.1, 0)],
                    55),
    "bursts": ([(3, 200 * MIB, 5 * MIB, 1, 0, 8 * MIB)], 45),
}


def run_case(tools, peer, groups, seconds):
    """The totals (cut, whole) of each group of readers, on a fresh server, and the
    clients it cut for time."""
    log = tempfile.TemporaryFile("w+")
    server = subprocess.Popen([os.path.join(tools, "rpc_test_server"), "--log-level", "4"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=log,
                              text=True)
    port = server.stdout.readline().strip()
    try:
        readers = []
        for count, size, rate, replies, delay, burst in groups:
            time.sleep(delay)
            readers.append(subprocess.Popen(
                [peer, "read", "--port", port, "--count", str(count), "--reply-bytes",
                 str(size), "--rate", str(rate), "--replies", str(replies), "--command",
                 str(PATTERN), "--duration", str(seconds), "--burst", str(burst)],
                stdout=subprocess.PIPE, text=True))
        totals = []
        for reader in readers:
            line = reader.communicate(timeout=seconds + 30)[0]
            fields = dict(re.findall(r"(\w+)=(\d+)", line))
            totals.append((int(fields["cut"]), int(fields["whole"])))
    finally:
        server.stdin.close()
        server.wait(30)
    log.seek(0)
    return totals, log.read().count("Client disconnesso a causa")


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", action="append", required=True, help="a build folder (twice)")
    p.add_argument("--peer", help="hostile_peer program (default: the last build's)")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--cases", default=",".join(CASES), help="comma-separated case names")
    args = p.parse_args()
    peer = args.peer or os.path.join(args.build[-1], "tools", "hostile_peer")
    for name in args.cases.split(","):
        groups, seconds = CASES[name]
        results = {build: [] for build in args.build}
        for _ in range(args.rounds):
            for build in args.build:
                results[build].append(run_case(os.path.join(build, "tools"), peer, groups,
                                               seconds))
        for build, rounds in results.items():
            shown = "; ".join(" + ".join(f"{cut} cut, {whole} whole" for cut, whole in totals) +
                              f" (server: {cuts} cut)" for totals, cuts in rounds)
            print(f"{name} on {build}: {shown}", flush=True)


if __name__ == "__main__":
    main()
