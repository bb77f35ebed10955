"""The include check on the real tree, and on the tree with a planted include
that crosses a wall, which it must report."""
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, HERE)
import check_includes  # noqa: E402


def planted(path, include):
    with open(os.path.join(ROOT, path), encoding="utf-8") as fh:
        text = fh.read()
    return {path: text + f'\n#include "{include}"\n'}


class IncludeWalls(unittest.TestCase):
    def test_the_tree_keeps_its_walls(self):
        self.assertEqual(check_includes.check(ROOT), [])

    def test_a_planted_include_that_crosses_a_wall_is_reported(self):
        cases = [
            # the engine's core reaching up to a run, a storage, the protocol
            ("job/core/job.cpp", "job/runs/backup_job.h"),
            ("job/core/job_history.cpp", "job/storage/storage.h"),
            ("job/core/iocp_dispatcher.cpp", "job/remote/remote_requests.h"),
            # a store reaching a run; a storage reaching a run
            ("job/stores/options.cpp", "job/runs/restore_job.h"),
            ("job/storage/storage.cpp", "job/runs/backup_job.h"),
            # the platform layer's kernel reaching its desktop; wirekit the job library
            ("platform/kernel/machine.cpp", "platform/desktop/gui_desktop.h"),
            ("wirekit/http_parser.cpp", "job/core/job.h"),
            # a shared part of the web interface reaching one of its areas
            ("portvane/conventions.cpp", "portvane/jobs/jobinstances.h"),
            # code including a test's helper
            ("job/core/job.cpp", "job/tests/test_job.h"),
        ]
        for path, include in cases:
            with self.subTest(path=path, include=include):
                self.assertTrue(os.path.exists(os.path.join(ROOT, include)), include)
                faults = check_includes.check(ROOT, planted(path, include))
                self.assertEqual(len(faults), 1, faults)
                self.assertIn(path, faults[0])
                self.assertIn(include, faults[0])

    def test_an_include_that_points_down_passes(self):
        for path, include in [("job/runs/backup_job.cpp", "job/storage/storage.h"),
                              ("job/storage/storage.cpp", "job/core/job.h"),
                              ("job/core/job.cpp", "wirekit/server_command.h"),
                              ("portvane/jobs/jobs.cpp", "portvane/db/sqlite_helpers.h"),
                              ("job/core/tests/job_test.cpp", "job/runs/backup_job.h")]:
            with self.subTest(path=path, include=include):
                self.assertEqual(check_includes.check(ROOT, planted(path, include)), [])

    def test_a_file_in_a_folder_without_walls_is_reported(self):
        faults = check_includes.check(ROOT, {"job/extras/new.cpp": '#include "job/core/job.h"\n'})
        self.assertEqual(len(faults), 1, faults)
        self.assertIn("job/extras/", faults[0])

    def test_the_command_fails_on_a_tree_with_a_crossing(self):
        with tempfile.TemporaryDirectory() as tmp:
            for path, text in [("job/core/a.cpp", '#include "job/runs/b.h"\n'),
                               ("job/runs/b.h", '#include "job/core/c.h"\n'),
                               ("job/core/c.h", "#pragma once\n")]:
                os.makedirs(os.path.join(tmp, os.path.dirname(path)), exist_ok=True)
                with open(os.path.join(tmp, path), "w", encoding="utf-8") as fh:
                    fh.write(text)
            script = os.path.join(HERE, "check_includes.py")
            r = subprocess.run([sys.executable, script, tmp], capture_output=True, text=True)
            self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
            self.assertIn("job/core/a.cpp:1: includes job/runs/b.h", r.stdout)
            os.remove(os.path.join(tmp, "job/core/a.cpp"))
            r = subprocess.run([sys.executable, script, tmp], capture_output=True, text=True)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)


if __name__ == "__main__":
    unittest.main()
