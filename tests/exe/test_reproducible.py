"""Two clean builds of the same tree give the same executable, byte for byte."""

import os
import shutil
import subprocess
import unittest

import harness
from harness import read_bytes

FOLDERS = [os.path.join(harness.ROOT, "build", "repro", "a"),
           os.path.join(harness.ROOT, "build", "repro",
                        "second-build-folder-with-a-longer-name")]


def clean_build(folder):
    """The release preset that ./build.sh uses, configured into another folder."""
    shutil.rmtree(folder, ignore_errors=True)
    subprocess.run(["cmake", "--preset", "mingw", "-B", folder],
                   cwd=harness.ROOT, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", folder], check=True,
                   stdout=subprocess.DEVNULL)
    return read_bytes(os.path.join(folder, harness.EXE_NAME))


class ReproducibleBuild(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.builds = [clean_build(folder) for folder in FOLDERS]

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(os.path.dirname(FOLDERS[0]), ignore_errors=True)

    def test_two_clean_builds_in_different_folders_are_identical(self):
        self.assertGreater(len(self.builds[0]), 0)
        self.assertEqual(self.builds[0], self.builds[1])

    def test_the_distributed_executable_is_that_build(self):
        self.assertEqual(read_bytes(harness.DIST_EXE), self.builds[0],
                         "dist/ differs from a clean build of this tree: "
                         "run ./build.sh")


if __name__ == "__main__":
    unittest.main()
