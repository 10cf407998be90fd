"""NamedSemaphore: exclusion between processes and threads (also after another process
dropped the name), the context manager, names the system refuses, a dropped holder's
unit given back, a failing acquire and a signal during a wait."""

import _multiprocessing
import ctypes
import itertools
import multiprocessing
import os
import signal
import threading
import time
import unittest

import zelmolib  # noqa: F401
import _zelmolib
from _zelmolib import NamedSemaphore

_counter = itertools.count()


def unlink(name):
    try:
        _multiprocessing.sem_unlink("/" + name)
    except FileNotFoundError:
        pass


def unique_name(test):
    """A new name, removed from the system when `test` ends: the objects leave it."""
    name = "zl_sem_test_%d_%d" % (os.getpid(), next(_counter))
    test.addCleanup(unlink, name)
    return name


def hold_in_child(name, held, release_now, releasing):
    sem = NamedSemaphore(name)
    sem.acquire()
    held.set()
    release_now.wait(60)
    releasing.value = 1
    sem.release()


def open_and_drop_in_child(name):
    NamedSemaphore(name)


def count_in_child(name, counter, rounds, opened):
    sem = NamedSemaphore(name)
    # Every child has opened the name before any counts.
    opened.wait(60)
    for _ in range(rounds):
        with sem:
            # Read, yield, write: lost updates unless the semaphore excludes the others.
            value = counter.value
            time.sleep(0)
            counter.value = value + 1


class ProcessTest(unittest.TestCase):
    def setUp(self):
        self.ctx = multiprocessing.get_context("spawn")

    def waiter_sees(self, name, meanwhile=lambda: None):
        """A child process holds the semaphore `name`, `meanwhile` runs, then a thread
        of this process waits for it: what that thread saw once in, [1] when it got in
        only after the child's release."""
        held, release_now = self.ctx.Event(), self.ctx.Event()
        releasing = self.ctx.Value("i", 0, lock=False)
        child = self.ctx.Process(target=hold_in_child, args=(name, held, release_now, releasing))
        child.start()
        try:
            self.assertTrue(held.wait(60))
            meanwhile()
            sem = NamedSemaphore(name)
            seen = []

            def take():
                with sem:
                    seen.append(releasing.value)

            t = threading.Thread(target=take)
            t.start()
            # Gives a semaphore that fails to exclude the chance to show it.
            time.sleep(0.2)
            release_now.set()
            t.join(60)
            self.assertFalse(t.is_alive())
            return seen
        finally:
            release_now.set()
            child.join(60)

    def test_second_process_waits_for_release(self):
        self.assertEqual(self.waiter_sees(unique_name(self)), [1])

    def test_a_process_dropping_the_name_lets_nobody_in(self):
        # Process 1 holds the semaphore, process 2 opens the name and drops it, and this
        # one (the third) waits until process 1 releases.
        name = unique_name(self)

        def open_and_drop():
            second = self.ctx.Process(target=open_and_drop_in_child, args=(name,))
            second.start()
            second.join(60)
            self.assertEqual(second.exitcode, 0)

        self.assertEqual(self.waiter_sees(name, open_and_drop), [1])

    def test_processes_count_without_lost_updates(self):
        name = unique_name(self)
        keeper = NamedSemaphore(name)
        counter = self.ctx.Value("i", 0, lock=False)
        opened = self.ctx.Barrier(3)
        children = [self.ctx.Process(target=count_in_child, args=(name, counter, 200, opened))
                    for _ in range(3)]
        for c in children:
            c.start()
        for c in children:
            c.join(120)
        self.assertEqual([c.exitcode for c in children], [0, 0, 0])
        self.assertEqual(counter.value, 600)
        del keeper


class ObjectTest(unittest.TestCase):
    def test_with_binds_object_and_releases_on_error(self):
        sem = NamedSemaphore(unique_name(self))
        with self.assertRaises(KeyError):
            with sem as bound:
                self.assertIs(bound, sem)
                raise KeyError("x")
        # Released: a second holder in another thread gets it.
        t = threading.Thread(target=lambda: (sem.acquire(), sem.release()))
        t.start()
        t.join(60)
        self.assertFalse(t.is_alive())

    def test_threads_exclude_each_other(self):
        sem = NamedSemaphore(unique_name(self))
        state = {"inside": 0, "max": 0}

        def work():
            for _ in range(200):
                with sem:
                    state["inside"] += 1
                    state["max"] = max(state["max"], state["inside"])
                    time.sleep(0)
                    state["inside"] -= 1

        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        self.assertEqual(state["max"], 1)

    def test_bad_arguments_and_names(self):
        with self.assertRaises(ValueError) as cm:
            NamedSemaphore(5)
        self.assertEqual(str(cm.exception), "Expected 'str' or 'unicode' object")
        with self.assertRaises(ValueError) as cm:
            NamedSemaphore("a/b")
        self.assertEqual(str(cm.exception), "Cannot create semaphore named 'a/b'")
        with self.assertRaises(TypeError):
            NamedSemaphore()

    def test_acquire_and_release_take_no_arguments(self):
        name = unique_name(self)
        holder, sem = NamedSemaphore(name), NamedSemaphore(name)
        holder.acquire()
        self.addCleanup(holder.release)
        for form in (lambda: sem.acquire(blocking=False), lambda: sem.acquire(timeout=1),
                     lambda: sem.acquire(False), lambda: sem.acquire(1, 2, 3),
                     lambda: sem.release(1)):
            # At once, where an acquire that took its arguments would wait for ever: in
            # a thread first, then here, where it can no longer hang.
            t = threading.Thread(target=self.assertRaises, args=(TypeError, form), daemon=True)
            t.start()
            t.join(2)
            self.assertFalse(t.is_alive())
            self.assertRaises(TypeError, form)

    def test_destroyed_name_starts_fresh(self):
        name = unique_name(self)
        first = NamedSemaphore(name)
        first.acquire()
        del first
        second = NamedSemaphore(name)
        t = threading.Thread(target=second.acquire)
        t.start()
        t.join(60)
        self.assertFalse(t.is_alive())
        second.release()

    def test_subclass(self):
        class Sub(NamedSemaphore):
            pass

        with Sub(unique_name(self)) as s:
            self.assertIsInstance(s, NamedSemaphore)


class SignalTest(unittest.TestCase):
    # How long a wait may take to end after the signal: the wait goes in steps of
    # 100 ms, so this only catches a wait that ignores signals (measured: 0.1 s).
    LATE = 3.0

    def setUp(self):
        previous = signal.signal(signal.SIGINT, signal.default_int_handler)
        self.addCleanup(signal.signal, signal.SIGINT, previous)

    def hold(self, name):
        """A thread holding the semaphore `name` until the Event returned is set (or
        long enough for a wait that ignores signals to end after all)."""
        holder, held, done = NamedSemaphore(name), threading.Event(), threading.Event()

        def run():
            with holder:
                held.set()
                done.wait(10)

        t = threading.Thread(target=run)
        t.start()
        self.assertTrue(held.wait(60))
        self.addCleanup(t.join, 60)
        self.addCleanup(done.set)
        return done

    def test_signal_ends_the_wait_without_the_semaphore(self):
        for form in ("acquire", "__enter__"):
            with self.subTest(form=form):
                name = unique_name(self)
                done = self.hold(name)
                waiter = NamedSemaphore(name)
                sent = []
                timer = threading.Timer(0.2, lambda: (sent.append(time.monotonic()),
                                                      os.kill(os.getpid(), signal.SIGINT)))
                timer.start()
                with self.assertRaises(KeyboardInterrupt):
                    getattr(waiter, form)()
                self.assertLess(time.monotonic() - sent[0], self.LATE)
                timer.join()
                # Not held by the interrupted wait: once the holder goes, another gets in.
                done.set()
                got = threading.Event()
                probe = NamedSemaphore(name)
                threading.Thread(target=lambda: (probe.acquire(), got.set(), probe.release()),
                                 daemon=True).start()
                self.assertTrue(got.wait(30))


class FailingAcquireTest(unittest.TestCase):
    # The object: header (16 bytes), the semaphore's vtable pointer, its name
    # (std::string: pointer, size, inline room) and then its sem_t pointer.
    NAME_OFFSET = 24
    HANDLE_OFFSET = 56

    def test_acquire_failure_raises(self):
        # A failing acquire used to return as if the semaphore were held.
        name = unique_name(self)
        sem = NamedSemaphore(name)
        base = id(sem)
        text = ctypes.string_at(ctypes.c_void_p.from_address(base + self.NAME_OFFSET).value,
                                ctypes.c_size_t.from_address(base + self.NAME_OFFSET + 8).value)
        if text != ("/" + name).encode():
            self.skipTest("unexpected object layout")
        handle = ctypes.c_void_p.from_address(base + self.HANDLE_OFFSET)
        saved = handle.value
        handle.value = None
        try:
            with self.assertRaises(OSError):
                sem.acquire()
            with self.assertRaises(OSError):
                with sem:
                    self.fail("body ran without the semaphore")
        finally:
            handle.value = saved


if __name__ == "__main__":
    unittest.main()
