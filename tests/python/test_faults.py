"""The Client against a scripted server end that commits every fault a peer can:
each request ends exactly once with its code and text, and the Client stays usable,
on the same connection where the fault leaves it, or after connecting again."""

import signal
import subprocess
import threading
import time
import unittest

import zelmolib
import _zelmolib
from client_fixture import ECHO, WAIT, BusinessServer, Outcome, tool_program

# Status texts as the message table has them.
TEXTS = {
    4: "Tempo scaduto",
    101: "Protocollo non supportato",
    114: "Non connesso",
    115: "La connessione è stata persa",
    201: "Risposta dal server non valida",
    204: "La richiesta di esecuzione è fallita sul server",
    205: "Richiesta di esecuzione annullata dall'utente",
}
REQUEST = {"question": "faults", "n": 7}
PEER_CLIENT_ID = 7  # the id the scripted peer grants
SHORT_TIMEOUT = 700  # ms of silence before a request ends with 4
SETTLE = 0.3  # s to wait for a second, unwanted completion


def answer(reply):
    """An echo reply without the checksum key the client library adds."""
    return {k: v for k, v in reply.items() if k != "CHECKSUM"}


def peer_program():
    return tool_program("rpc_scripted_peer")


class ScriptedPeer:
    """rpc_scripted_peer running one script; its RECV lines are collected."""

    def __init__(self, script):
        self.proc = subprocess.Popen([peer_program(), script], stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True)
        self.reader = None
        first = self.proc.stdout.readline().split()
        if len(first) != 2 or first[0] != "PORT":
            self.stop()
            raise RuntimeError("rpc_scripted_peer did not start")
        self.port = int(first[1])
        self.lines = []
        self.received = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.proc.stdout:
            with self.received:
                self.lines.append(line.strip())
                self.received.notify_all()

    def wait_for_requests(self, count):
        """Waits until the peer has read `count` DATA packets."""
        with self.received:
            return self.received.wait_for(
                lambda: sum(l.startswith("RECV type=6 ") for l in self.lines) >= count, WAIT)

    def kill(self):
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.kill()
        if self.reader:
            self.reader.join(WAIT)  # it ends at the end of the output
        self.proc.stdout.close()


# (name, script after the first request is read, code, the code the same fault may
# also show, connection kept[, connection flags granted]). Codes 114 and 115 are two faces of one lost connection:
# which one shows depends on where the client's read stops.
FAULTS = [
    ("bad_magic", "reply DATA echo magic=0xF79BF0B6; wait-close 5000", 101, None, False),
    ("bad_checksum", "reply DATA echo csum=12345; wait-close 5000", 201, None, False),
    ("unexpected_type", "reply NO_AUTH -; wait-close 5000", 201, None, False),
    ("truncated_header", "reply DATA bytes:9000 cut=10; close", 115, 114, False),
    ("size_of_2_gib",
     "reply DATA bytes:8160 plain flags=0x1002 size=0x80000000; wait-close 5000",
     201, None, False),
    ("later_chunk_lies_about_its_size",
     "hold DATA bytes:9000 plain flags=0x1002; send 2 1; "
     "reply DATA bytes:500 plain flags=0x2 size=500; wait-close 5000", 201, None, False),
    ("close_mid_reply", "reply DATA bytes:9000 cut=100; close", 115, 114, False),
    ("close_before_reply", "close", 114, 115, False),
    ("failed_on_server", "reply FAILED text:it-broke; recv DATA; reply DATA echo; "
     "wait-close 5000", 204, None, True),
    ("aborted_by_server", "reply ABORT -; recv DATA; reply DATA echo; wait-close 5000",
     205, None, True),
    ("silence", "recv DATA; reply DATA echo; wait-close 5000", 4, None, True),
    # A server that stalls between two chunks of a reply and then sends the rest: its
    # late chunks are dropped and the next request has its own reply.
    ("stall_mid_reply", "hold DATA bytes:30000; send 2 1; sleep 1500; send 2 all; "
     "recv DATA; reply DATA echo; wait-close 5000", 4, None, True, 0),
    ("pings_then_silence", "ping 10 a; sleep 200; ping 20 b; recv DATA; reply DATA echo; "
     "wait-close 5000", 4, None, True),
]


class FaultTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = BusinessServer()
        cls.addClassCleanup(cls.server.stop)

    def start(self, script, flags=0x102):
        peer = ScriptedPeer("handshake %d; recv DATA; %s" % (flags, script))
        self.addCleanup(peer.stop)
        client = _zelmolib.Client()
        self.addCleanup(client.disconnect)
        client.connect(host="127.0.0.1", port=peer.port, timeout=5000)
        return peer, client

    def sync_outcome(self, client):
        try:
            return ("success", answer(client.execute(ECHO, REQUEST, timeout=SHORT_TIMEOUT)))
        except zelmolib.Error as e:
            return ("error", e.args)

    def async_outcome(self, client):
        outcome = Outcome()
        deferred = client.execute(ECHO, REQUEST, timeout=SHORT_TIMEOUT,
                                  success=outcome.success, error=outcome.error,
                                  userdata="mine")
        kind, values = outcome.wait(self)
        time.sleep(SETTLE)
        self.assertEqual(len(outcome.calls), 1, outcome.calls)
        self.assertFalse(deferred.pending)
        self.assertTrue(deferred.executed)
        if kind == "error":
            self.assertEqual(values[2], "mine")
            return kind, values[:2]
        return kind, values

    def check_fault(self, asynchronous, script, code, alternative, kept, flags=0x102):
        peer, client = self.start(script, flags)
        kind, values = (self.async_outcome if asynchronous else self.sync_outcome)(client)
        self.assertEqual(kind, "error", values)
        got = values[0]
        self.assertIn(got, (code, alternative))
        self.assertEqual(values, (got, TEXTS[got]))
        if kept:
            # The same connection answers the next request.
            self.assertEqual(client.get_id(), PEER_CLIENT_ID)
            self.assertEqual(answer(client.execute(ECHO, {"again": 1}, timeout=5000)),
                             {"again": 1})
        else:
            self.assertEqual(client.get_id(), 0)
            with self.assertRaises(zelmolib.Error) as cm:
                client.execute(ECHO, {"again": 1})
            self.assertEqual(cm.exception.args, (114, TEXTS[114]))
            # The Client connects again, to a real server.
            client.connect(host="127.0.0.1", port=self.server.port, timeout=5000)
            self.assertEqual(answer(client.execute(ECHO, {"again": 2})), {"again": 2})

    def test_echo_through_the_peer(self):
        peer, client = self.start("reply DATA echo; wait-close 5000")
        self.assertEqual(client.get_id(), PEER_CLIENT_ID)
        self.assertEqual(answer(client.execute(ECHO, REQUEST)), REQUEST)

    def test_faults(self):
        for name, *fault in FAULTS:
            for asynchronous in (False, True):
                with self.subTest(fault=name, asynchronous=asynchronous):
                    self.check_fault(asynchronous, *fault)

    def test_peer_killed_mid_reply(self):
        for asynchronous in (False, True):
            with self.subTest(asynchronous=asynchronous):
                # The peer reads the request, writes part of a reply and is killed.
                peer, client = self.start("reply DATA bytes:9000 cut=100; sleep 30000")
                result = []
                call = self.async_outcome if asynchronous else self.sync_outcome
                caller = threading.Thread(target=lambda: result.append(call(client)))
                caller.start()
                self.assertTrue(peer.wait_for_requests(1))
                time.sleep(0.1)  # let the partial reply go out first
                peer.kill()
                caller.join(WAIT)
                self.assertFalse(caller.is_alive())
                self.assertEqual(len(result), 1)
                kind, values = result[0]
                self.assertEqual(kind, "error")
                self.assertIn(values[0], (114, 115))
                self.assertEqual(values, (values[0], TEXTS[values[0]]))
                client.connect(host="127.0.0.1", port=self.server.port, timeout=5000)
                self.assertEqual(answer(client.execute(ECHO, {"after": 1})), {"after": 1})


if __name__ == "__main__":
    unittest.main()
