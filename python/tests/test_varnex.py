"""The Python module against the library: each test in a list directory of
its own (VARNEX_SYSTEM_DIR), removed afterwards. VARNEX_LIBRARY names the
library to test."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import varnex


class ListTest(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix="varnex-py-")
        os.environ["VARNEX_SYSTEM_DIR"] = self.directory

    def tearDown(self):
        shutil.rmtree(self.directory)

    def test_edits_and_lookups(self):
        with varnex.List(varnex.BASE) as rules:
            rules.add(varnex.record("p1", "*.example.org", key=15, item_type=3))
            stored, replaced = rules.add_many(
                [varnex.record("e1", "exact.com", item_type=2),
                 varnex.record("e2", "EXACT.com", item_type=5),
                 varnex.record("e1", "exact.com", item_type=4)])
            self.assertEqual((stored, replaced), (3, 1))
            self.assertEqual(len(rules), 3)
            self.assertTrue(rules.match("www.example.org"))
            self.assertTrue(rules.match("Exact.Com"))
            self.assertFalse(rules.match("www.example.net"))
            self.assertEqual([r.rule_no for r in rules.matching("www.example.org")], [b"p1"])
            found, item_type = rules.match_all("exact.com")
            self.assertEqual((len(found), item_type), (2, 4))
            self.assertEqual(rules.append([varnex.record("a1", "zzz")]), 1)
            # (A new record goes in front of those with its key.)
            self.assertEqual([r.rule_no for r in rules.records()], [b"e2", b"e1", b"p1", b"a1"])
            rules.delete_rule("e2")
            rules.delete_type(3)
            self.assertEqual([r.rule_no for r in rules.records()], [b"e1", b"a1"])
            rules.add(varnex.record("old", "old.example", end=1))
            rules.purge()
            self.assertEqual(len(rules), 2)
            rules.reset()
            self.assertEqual(rules.records(), [])

    def test_failures_raise_with_the_reason(self):
        with varnex.List(varnex.BASE) as writer:
            writer.add(varnex.record("r", "seen.example"))
        with varnex.List(varnex.BASE, read_only=True) as reader:
            self.assertTrue(reader.match("seen.example"))
            with self.assertRaises(varnex.VarnexError) as raised:
                reader.add(varnex.record("r2", "x"))
            self.assertEqual(raised.exception.status, varnex.E_READ_ONLY)
            reader.close()
            with self.assertRaises(varnex.VarnexError) as raised:
                reader.count()
            self.assertEqual(raised.exception.status, varnex.E_CLOSED)
        with self.assertRaises(varnex.VarnexError) as raised:
            varnex.List(9)
        self.assertEqual(raised.exception.status, varnex.E_INVALID)
        with self.assertRaises(ValueError):
            varnex.record("r", "*.needs.a.key")

    def test_ip_list_and_paths(self):
        with varnex.List(varnex.IP) as addresses:
            addresses.ip_add(varnex.IP_WHITE, 10, 20)
            addresses.ip_add(varnex.IP_MANAGE, 100, 200, value=7)
            self.assertTrue(addresses.ip_match(15, varnex.IP_WHITE))
            self.assertFalse(addresses.ip_match(150, varnex.IP_WHITE))
            self.assertTrue(addresses.ip_match(150, varnex.IP_MANAGE))
            addresses.ip_reset(varnex.IP_MANAGE)
            self.assertEqual(len(addresses), 1)
        self.assertEqual(varnex.list_path(), self.directory)
        self.assertEqual(varnex.list_path(varnex.BASE),
                         os.path.join(self.directory, "BaseList.sys"))

    def test_another_process_sees_a_change_at_once(self):
        varnex.List(varnex.BASE).free()  # made, so that a reader may open it
        with varnex.List(varnex.BASE, read_only=True) as reader:
            self.assertFalse(reader.match("from.child"))
            subprocess.run(
                [sys.executable, "-c",
                 "import varnex; varnex.List(0).add(varnex.record('c', 'from.child'))"],
                check=True, env=os.environ)
            self.assertTrue(reader.match("from.child"))


if __name__ == "__main__":
    unittest.main()
