"""NamedSemaphore: exclusion between processes and threads, the context manager, names
the system refuses, a fresh semaphore after destruction and a failing acquire."""

import ctypes
import itertools
import multiprocessing
import os
import threading
import time
import unittest

import zelmolib  # noqa: F401
import _zelmolib
from _zelmolib import NamedSemaphore

_counter = itertools.count()


def unique_name():
    return "zl_sem_test_%d_%d" % (os.getpid(), next(_counter))


def hold_in_child(name, held, release_now, releasing):
    sem = NamedSemaphore(name)
    sem.acquire()
    held.set()
    release_now.wait(60)
    releasing.value = 1
    sem.release()


def count_in_child(name, counter, rounds, opened):
    sem = NamedSemaphore(name)
    # Destroying an object removes the name: every child opens it before any ends.
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

    def test_second_process_waits_for_release(self):
        name = unique_name()
        keeper = NamedSemaphore(name)  # keeps the name alive for the whole test
        held, release_now = self.ctx.Event(), self.ctx.Event()
        releasing = self.ctx.Value("i", 0, lock=False)
        child = self.ctx.Process(target=hold_in_child, args=(name, held, release_now, releasing))
        child.start()
        try:
            self.assertTrue(held.wait(60))
            seen = []

            def take():
                keeper.acquire()
                seen.append(releasing.value)
                keeper.release()

            t = threading.Thread(target=take)
            t.start()
            # Gives a semaphore that fails to exclude the chance to show it.
            time.sleep(0.2)
            release_now.set()
            t.join(60)
            self.assertFalse(t.is_alive())
            self.assertEqual(seen, [1])
        finally:
            release_now.set()
            child.join(60)

    def test_processes_count_without_lost_updates(self):
        name = unique_name()
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
        sem = NamedSemaphore(unique_name())
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
        sem = NamedSemaphore(unique_name())
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

    def test_destroyed_name_starts_fresh(self):
        name = unique_name()
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

        with Sub(unique_name()) as s:
            self.assertIsInstance(s, NamedSemaphore)


class FailingAcquireTest(unittest.TestCase):
    # The object: header (16 bytes), the semaphore's vtable pointer, its name
    # (std::string: pointer, size, inline room) and then its sem_t pointer.
    NAME_OFFSET = 24
    HANDLE_OFFSET = 56

    def test_acquire_failure_raises(self):
        # A failing acquire used to return as if the semaphore were held.
        name = unique_name()
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
