import sys
import unittest


class PackageTest(unittest.TestCase):
    def test_interpreter_is_313(self):
        self.assertEqual(sys.version_info[:2], (3, 13))

    def test_error_carries_code_and_message(self):
        import zelmolib

        err = zelmolib.Error(9001, "Errore generico")
        self.assertEqual(err.args, (9001, "Errore generico"))
        self.assertTrue(issubclass(zelmolib.JSONError, zelmolib.Error))

    def test_timeout_handler_raises(self):
        from zelmolib import scripting

        with self.assertRaises(Exception):
            scripting.timeout_handler()


if __name__ == "__main__":
    unittest.main()
