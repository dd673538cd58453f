"""The real executable under Wine, with a recording stand-in for PowerShell.

Message boxes: with no display, Wine's MessageBoxW returns at once; its
arguments are read from a relay trace (WINEDEBUG=+relay, limited by the
prefix's RelayInclude list to the calls asserted on here).
"""

import datetime
import glob
import os
import re
import shutil
import subprocess
import time
import unittest

import harness
from product import BOOTSTRAP_FOLDER, PRODUCT_FOLDER, VENDOR_FOLDER
from harness import read_bytes, unix_path

BIN_WIN = harness.TEST_ROOT_WIN + "\\bin"
LAUNCHER_WIN = BIN_WIN + "\\" + harness.EXE_NAME
NO_SCRIPT_WIN = BIN_WIN + "\\ORVELLE-Setup-without-script.exe"
POWERSHELL_WIN = harness.SYSTEM_DIR + "\\WindowsPowerShell\\v1.0\\powershell.exe"
CAPTION = 'L"ORVELLE GAME SUPPORT"'
STYLE = "00010010"


EMBEDDED_SCRIPT = None


def embedded_script():
    """Resource 101 of the executable under test: what it must write. That
    it equals the setup script file is checked by test_pe."""
    import pefile
    pe = pefile.PE(harness.DIST_EXE)
    for type_entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if type_entry.id == 10:
            for name_entry in type_entry.directory.entries:
                if name_entry.id == 101:
                    data = name_entry.directory.entries[0].data.struct
                    return pe.get_data(data.OffsetToData, data.Size)
    raise AssertionError("resource 101 missing")


def setUpModule():
    global EMBEDDED_SCRIPT
    EMBEDDED_SCRIPT = embedded_script()
    harness.restart_prefix_server()
    harness.prepare_prefix()
    os.makedirs(unix_path(BIN_WIN), exist_ok=True)
    shutil.copyfile(harness.DIST_EXE, unix_path(LAUNCHER_WIN))
    shutil.copyfile(harness.NO_SCRIPT_EXE, unix_path(NO_SCRIPT_WIN))


def wait_for(condition, timeout=90):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if condition():
            return True
        time.sleep(0.1)
    return False


class LauncherUnderWine(unittest.TestCase):
    def setUp(self):
        name = self.id().split(".")[-1]
        self.case_win = harness.TEST_ROOT_WIN + "\\" + name
        shutil.rmtree(unix_path(self.case_win), ignore_errors=True)
        self.program_data = self.case_win + "\\ProgramData"
        self.record = self.case_win + "\\record"
        os.makedirs(unix_path(self.program_data))
        os.makedirs(unix_path(self.record))
        self.product = "\\".join([self.program_data, VENDOR_FOLDER, PRODUCT_FOLDER])
        self.bootstrap = self.product + "\\" + BOOTSTRAP_FOLDER
        self.source = EMBEDDED_SCRIPT

    def launch(self, exe=LAUNCHER_WIN, program_data="default", **options):
        if program_data == "default":
            program_data = self.program_data
        return harness.run_launcher(exe, program_data, self.record, **options)

    def records(self):
        return harness.standin_records(unix_path(self.record))

    def bootstrap_entries(self):
        folder = unix_path(self.bootstrap)
        return os.listdir(folder) if os.path.isdir(folder) else []

    def assertMessage(self, run, message):
        boxes = run.message_boxes()
        self.assertEqual(len(boxes), 1, run.relay[-3000:])
        # The trace escapes backslashes and quotes.
        traced = message.replace("\\", "\\\\").replace('"', '\\"')
        self.assertIn('L"%s"' % traced, boxes[0].arguments)
        self.assertIn(CAPTION, boxes[0].arguments)
        self.assertTrue(boxes[0].arguments.endswith("," + STYLE),
                        boxes[0].arguments)
        self.assertTrue(boxes[0].arguments.startswith("00000000,"),
                        "no owner window expected: " + boxes[0].arguments)

    def assertScriptRecorded(self, record, parameters=""):
        expected = ('"%s" -NoLogo -NoProfile -ExecutionPolicy Bypass -File '
                    '"%s\\ORVELLE-Prerequisites-%s-' % (
                        POWERSHELL_WIN, self.bootstrap, harness.VERSION))
        self.assertTrue(record.command_line.startswith(expected),
                        record.command_line)
        # The executable's own folder ends every command line.
        self.assertRegex(record.command_line[len(expected):],
                         r'^\d+\.ps1"' + re.escape(
                             parameters + ' -LauncherFolder "%s"' % BIN_WIN) + "$")
        self.assertEqual(record.current_directory, self.bootstrap)
        self.assertEqual(record.script, self.source)

    # -- a normal run -------------------------------------------------------

    def test_runs_system_powershell_on_the_script_byte_for_byte(self):
        run = self.launch()
        self.assertEqual(run.exit_code, 0, run.stdout)
        records = self.records()
        self.assertEqual(len(records), 1)
        self.assertScriptRecorded(records[0])
        self.assertEqual(records[0].script[:3], b"\xef\xbb\xbf")
        self.assertFalse(os.path.exists(unix_path(records[0].script_path)),
                         "the script file is deleted after the run")
        self.assertEqual(self.bootstrap_entries(), [])
        self.assertTrue(os.path.isdir(unix_path(self.product)),
                        "the product folder stays after the run")

    def test_cleans_up_by_deleting_the_script_then_removing_the_folder(self):
        run = self.launch(relay=True)
        self.assertEqual(run.exit_code, 0)
        script = self.records()[0].script_path
        calls = [(c.function, c.arguments, c.retval) for c in run.calls
                 if c.function in ("DeleteFileW", "RemoveDirectoryW")]
        escaped_script = script.replace("\\", "\\\\")
        escaped_folder = self.bootstrap.replace("\\", "\\\\")
        self.assertEqual(len(calls), 3, calls)
        # The leftover check before writing, then the clean-up.
        self.assertIn('L"%s"' % escaped_script, calls[0][1])
        self.assertEqual(calls[1][0], "DeleteFileW")
        self.assertIn('L"%s"' % escaped_script, calls[1][1])
        self.assertEqual(calls[1][2], 1)
        self.assertEqual(calls[2][0], "RemoveDirectoryW")
        self.assertIn('L"%s"' % escaped_folder, calls[2][1])
        self.assertEqual(self.bootstrap_entries(), [])
        self.assertEqual(run.message_boxes(), [])

    def test_restricts_dll_loading_first_and_writes_only_into_made_folders(self):
        run = self.launch(relay=True)
        self.assertEqual(run.exit_code, 0)
        calls = run.calls
        self.assertEqual(calls[0].function, "SetDefaultDllDirectories")
        self.assertEqual(calls[0].arguments, "00000800")
        names = [c.function for c in calls]
        script_create = next(i for i, c in enumerate(calls)
                             if c.function == "CreateFileW"
                             and ".ps1" in c.arguments)
        folder_steps = [i for i, c in enumerate(calls)
                        if c.function in ("CreateDirectoryW", "MoveFileExW")]
        self.assertEqual(names.count("CreateDirectoryW"), 3)
        self.assertLess(max(folder_steps), script_create)
        first_write = names.index("WriteFile")
        self.assertLess(script_create, first_write)
        self.assertLess(first_write, names.index("CreateProcessW"))
        # The script file is created new: CREATE_NEW is disposition 1 (the
        # relay prints whole registers; only the low 32 bits are the value).
        self.assertRegex(calls[script_create].arguments,
                         r",40000000,00000000,00000000,[0-9a-f]*00000001,")

    def test_profiler_variables_do_not_reach_powershell_others_do(self):
        removed = {
            "COR_ENABLE_PROFILING": "1",
            "COR_PROFILER": "{01234567-89ab-cdef-0123-456789abcdef}",
            "COR_PROFILER_PATH": "C:\\Users\\Public\\p.dll",
            "COR_PROFILER_PATH_32": "C:\\Users\\Public\\p32.dll",
            "COR_PROFILER_PATH_64": "C:\\Users\\Public\\p64.dll",
            "COMPlus_EnableDiagnostics": "0",
            "complus_ETWEnabled": "0",
        }
        kept = {"ORVELLE_KEPT": "kept", "COR_PROFILER_PATHX": "kept too",
                "MY_COMPlus_Value": "kept as well"}
        run = self.launch(extra_env=dict(removed, **kept))
        self.assertEqual(run.exit_code, 0, run.stdout)
        environment = self.records()[0].environment
        self.assertIsNotNone(environment)
        names = {line.split("=", 1)[0].upper(): line.split("=", 1)[1]
                 for line in environment if "=" in line[1:]}
        self.assertEqual([n for n in removed if n.upper() in names], [])
        for name, value in kept.items():
            self.assertEqual(names.get(name.upper()), value, name)

    def test_leftover_script_with_the_same_name_is_replaced_not_appended(self):
        # The launcher's process id is not known in advance: plant a longer
        # leftover (sparse, so cheap) under every id Wine hands out here.
        os.makedirs(unix_path(self.bootstrap))
        folder = unix_path(self.bootstrap)
        planted = range(4, 4100, 4)
        for pid in planted:
            path = os.path.join(folder,
                                "ORVELLE-Prerequisites-%s-%d.ps1"
                                % (harness.VERSION, pid))
            with open(path, "wb") as handle:
                handle.truncate(len(self.source) + 4096)
        run = self.launch()
        self.assertEqual(run.exit_code, 0)
        record = self.records()[0]
        pid = int(re.search(r"-(\d+)\.ps1$", record.script_path).group(1))
        self.assertIn(pid, planted, "launcher id outside the planted range")
        self.assertEqual(record.script, self.source)

    # -- exit codes ---------------------------------------------------------

    def check_exit_code(self, code):
        run = self.launch(exit_code=code, relay=True)
        self.assertEqual(run.exit_code, code, run.stdout)
        self.assertEqual(run.message_boxes(), [])
        self.assertEqual(len(self.records()), 1)

    def test_exit_code_0_passes_through(self):
        self.check_exit_code(0)

    def test_exit_code_1_passes_through(self):
        self.check_exit_code(1)

    def test_exit_code_3_passes_through(self):
        self.check_exit_code(3)

    def test_exit_code_15_passes_through(self):
        self.check_exit_code(15)

    def test_exit_code_20_passes_through(self):
        self.check_exit_code(20)

    def test_exit_code_3010_passes_through(self):
        self.check_exit_code(3010)

    # -- a quiet run, as deployment tools start it ---------------------------

    def creation_flags(self, run):
        starts = [c for c in run.calls if c.function == "CreateProcessW"]
        self.assertEqual(len(starts), 1, run.relay[-3000:])
        # A DWORD in a 64-bit register: the upper half is not part of it.
        return int(starts[0].arguments.split(",")[5], 16) & 0xFFFFFFFF

    def test_quiet_run_starts_unattended_without_a_window_and_passes_3010(self):
        run = self.launch(exit_code=3010, relay=True,
                          arguments=["/QUIET", "/norestart"])
        self.assertEqual(run.exit_code, 3010, run.stdout)
        self.assertEqual(run.message_boxes(), [])
        record = self.records()[0]
        self.assertScriptRecorded(record, " -Unattended")
        # CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT, no CREATE_NEW_CONSOLE.
        self.assertEqual(self.creation_flags(run), 0x08000400)

    def test_quiet_failure_returns_its_code_without_a_box(self):
        # A relative ProgramData is refused before anything is made.
        for arguments, boxes in ((["-quiet"], 0), ([], 1)):
            run = self.launch(program_data=".", relay=True, arguments=arguments)
            self.assertEqual(run.exit_code, 12, run.stdout)
            self.assertEqual(len(run.message_boxes()), boxes, arguments)
        self.assertEqual(self.records(), [])

    # -- folders for the script: /layout and /source ------------------------

    def test_layout_and_source_folders_reach_powershell_whole(self):
        # Split as Windows splits a command line, each folder is one
        # parameter value, spaces and trailing backslash included.
        layout = "C:\\ORVELLE Game Packages\\"
        source = "\\\\server\\share\\ORVELLE-Game-Support-Packages"
        run = self.launch(exit_code=3010, relay=True, arguments=[
            "/layout", layout, "-SOURCE", source, "/Quiet"])
        self.assertEqual(run.exit_code, 3010, run.stdout)
        self.assertEqual(run.message_boxes(), [])
        record = self.records()[0]
        self.assertEqual(record.arguments, [
            POWERSHELL_WIN, "-NoLogo", "-NoProfile", "-ExecutionPolicy",
            "Bypass", "-File", record.script_path, "-Unattended",
            "-Layout", layout, "-PackageSource", source,
            "-LauncherFolder", BIN_WIN])
        self.assertScriptRecorded(
            record, ' -Unattended -Layout "%s\\" -PackageSource "%s"'
            % (layout, source))

    def test_folder_that_cannot_be_used_gives_21_before_anything_is_made(self):
        # A quote would let the folder end its quoting and add a parameter.
        folder = 'C:\\Packages" -DiagnosticsOnly'
        run = self.launch(relay=True, arguments=["/layout", folder])
        self.assertEqual(run.exit_code, 21, run.stdout)
        self.assertMessage(
            run, 'The folder given with /layout cannot be used: "%s". Give a '
            "full path of up to 259 characters, such as "
            "D:\\ORVELLE-Game-Support-Packages, without quotation marks."
            % folder)
        names = [c.function for c in run.calls]
        for name in ("GetEnvironmentVariableW", "CreateDirectoryW",
                     "CreateFileW", "CreateProcessW"):
            self.assertNotIn(name, names)
        self.assertEqual(os.listdir(unix_path(self.program_data)), [])
        # Quiet, a relative folder: the code alone tells.
        run = self.launch(relay=True, arguments=["/source", "Packages",
                                                 "-quiet"])
        self.assertEqual(run.exit_code, 21, run.stdout)
        self.assertEqual(run.message_boxes(), [])
        self.assertEqual(os.listdir(unix_path(self.program_data)), [])
        self.assertEqual(self.records(), [])

    # -- failures -----------------------------------------------------------

    def test_program_data_unset_gives_10_and_creates_nothing(self):
        default_vendor = os.path.join(harness.PREFIX, "drive_c", "ProgramData",
                                      VENDOR_FOLDER)
        shutil.rmtree(default_vendor, ignore_errors=True)
        run = self.launch(program_data=None, relay=True)
        self.assertEqual(run.exit_code, 10)
        self.assertMessage(run,
                           "Unable to locate the Windows ProgramData folder.")
        self.assertNotIn("CreateDirectoryW", [c.function for c in run.calls])
        self.assertFalse(os.path.exists(default_vendor),
                         "no ORVELLE folder expected under the default ProgramData")
        self.assertEqual(self.records(), [])

    def test_program_data_of_260_characters_gives_10_and_creates_nothing(self):
        value = self.program_data + "\\"
        value += "x" * (260 - len(value))
        self.assertEqual(len(value), 260)
        run = self.launch(program_data=value, relay=True)
        self.assertEqual(run.exit_code, 10)
        self.assertMessage(run,
                           "Unable to locate the Windows ProgramData folder.")
        self.assertNotIn("CreateDirectoryW", [c.function for c in run.calls])
        self.assertEqual(os.listdir(unix_path(self.program_data)), [])

    def test_file_named_like_the_vendor_folder_is_set_aside(self):
        vendor = self.program_data + "\\" + VENDOR_FOLDER
        with open(unix_path(vendor), "wb") as handle:
            handle.write(b"planted")
        run = self.launch()
        self.assertEqual(run.exit_code, 0, run.stdout)
        records = self.records()
        self.assertEqual(len(records), 1)
        self.assertScriptRecorded(records[0])
        aside = glob.glob(unix_path(vendor) + ".untrusted-*")
        self.assertEqual(len(aside), 1, aside)
        self.assertRegex(os.path.basename(aside[0]),
                         r"\.untrusted-\d{8}-\d{6}-[0-9a-f]{16}$")
        self.assertEqual(read_bytes(aside[0]), b"planted")
        self.assertTrue(os.path.isdir(unix_path(vendor)))

    def test_executable_without_the_script_resource_gives_14(self):
        run = self.launch(exe=NO_SCRIPT_WIN, relay=True)
        self.assertEqual(run.exit_code, 14)
        self.assertMessage(run, "The embedded setup resource is missing.")
        self.assertTrue(os.path.isdir(unix_path(self.bootstrap)),
                        "the bootstrap folder stays on a failure")
        self.assertEqual(self.bootstrap_entries(), [])
        self.assertFalse(any(c.function == "CreateFileW" and ".ps1" in c.arguments
                             for c in run.calls),
                         "no script file may be created without the resource")

    def test_missing_powershell_gives_20_and_leaves_no_script(self):
        aside = harness.POWERSHELL_UNIX + ".aside"
        os.replace(harness.POWERSHELL_UNIX, aside)
        try:
            run = self.launch(relay=True)
        finally:
            os.replace(aside, harness.POWERSHELL_UNIX)
        self.assertEqual(run.exit_code, 20)
        self.assertMessage(
            run, "Windows PowerShell could not start the setup process.")
        self.assertTrue(os.path.isdir(unix_path(self.bootstrap)),
                        "the bootstrap folder stays on a failure")
        self.assertEqual(self.bootstrap_entries(), [])
        names = [c.function for c in run.calls]
        self.assertEqual(names[-2:], ["DeleteFileW", "MessageBoxW"])
        self.assertNotIn("RemoveDirectoryW", names)

    # -- a tree somebody else prepared, and two launchers at once ---------
    #
    # Wine reports every folder that already exists as owned by its own user,
    # so there every existing folder is unsafe and is set aside on each run.

    def start_held(self, log_name, extra=None):
        env = harness.wine_env(True, dict({
            "ORVELLE_STANDIN_RECORD": self.record,
            "ORVELLE_STANDIN_EXIT": "0",
            "ORVELLE_STANDIN_HOLD": "1",
        }, **(extra or {})))
        log = open(os.path.join(unix_path(self.case_win), log_name), "wb")
        process = subprocess.Popen(
            harness.launcher_command(LAUNCHER_WIN, self.program_data),
            env=env, stdout=subprocess.PIPE, stderr=log)
        return process, log

    def finish(self, process, log):
        stdout, _ = process.communicate(timeout=120)
        log.close()
        relay = read_bytes(log.name).decode("utf-8", "replace")
        return harness.LauncherRun(
            harness.parse_exit_code(stdout.decode()), relay, stdout.decode())

    def release(self, record):
        name = record.script_path.rsplit("\\", 1)[1]
        with open(os.path.join(unix_path(self.record), "release-" + name),
                  "wb"):
            pass

    def test_prepared_tree_is_set_aside_and_the_live_folders_are_pinned(self):
        product = self.product
        planted = {
            PRODUCT_FOLDER + "/Downloads/vc14-latest-x64.exe": b"MZ signed copy",
            PRODUCT_FOLDER + "/Downloads/vc14-latest-x64.exe.config": b"<config/>",
            PRODUCT_FOLDER + "/" + BOOTSTRAP_FOLDER + "/version.dll": b"MZ planted",
        }
        vendor_unix = unix_path(self.program_data + "\\" + VENDOR_FOLDER)
        for relative, content in planted.items():
            path = os.path.join(vendor_unix, *relative.split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as handle:
                handle.write(content)
        started = datetime.datetime.now()
        process, log = self.start_held("held.relay", {
            "ORVELLE_STANDIN_RENAME": product + "|" + product + "-moved"})
        try:
            self.assertTrue(wait_for(lambda: len(self.records()) == 1),
                            "PowerShell stand-in did not start within 90 s")
            record = self.records()[0]
            self.assertScriptRecorded(record)
            # While PowerShell runs: nothing planted in the live folders.
            script_name = record.script_path.rsplit("\\", 1)[1]
            self.assertEqual(self.bootstrap_entries(), [script_name])
            self.assertFalse(os.path.exists(os.path.join(
                unix_path(product), "Downloads")),
                "the planted Downloads folder must be set aside")
            # The prepared tree sits beside the new one, whole.
            aside = glob.glob(os.path.join(unix_path(self.program_data),
                                           VENDOR_FOLDER + ".untrusted-*"))
            self.assertEqual(len(aside), 1, aside)
            stamp = re.match(r"^" + re.escape(VENDOR_FOLDER)
                             + r"\.untrusted-(\d{8}-\d{6})-[0-9a-f]{16}$",
                             os.path.basename(aside[0]))
            self.assertIsNotNone(stamp, aside[0])
            when = datetime.datetime.strptime(stamp.group(1), "%Y%m%d-%H%M%S")
            self.assertLess(abs((when - started).total_seconds()), 300)
            for relative, content in planted.items():
                self.assertEqual(read_bytes(os.path.join(
                    aside[0], *relative.split("/"))), content)
            # The launcher's handles keep Game Support where it is.
            self.assertIsNotNone(record.rename)
            self.assertTrue(record.rename.startswith("error"), record.rename)
            self.assertTrue(os.path.isdir(unix_path(product)),
                            "Game Support must stay in place")
            self.assertFalse(os.path.exists(unix_path(product + "-moved")),
                             "Game Support must not be renamed")
        finally:
            for record in self.records():
                self.release(record)
            run = self.finish(process, log)
        self.assertEqual(run.exit_code, 0, run.stdout)

    def test_two_launchers_at_once_both_run_the_script(self):
        # Under Wine the first launcher's new folders read as unsafe to the
        # second (every existing folder is the Wine user's there), and the
        # first launcher's handles stop the second from setting them aside.
        # The second then makes a private "ORVELLE.<16 hex digits>" beside
        # them and runs from there, so both end with the stand-in's code, 0.
        # (On Windows the second finds the folders private and uses them.)
        first, first_log = self.start_held("first.relay")
        first_record = None
        try:
            self.assertTrue(wait_for(lambda: len(self.records()) == 1),
                            "PowerShell stand-in did not start within 90 s")
            first_record = self.records()[0]
            second = self.launch(relay=True)
            self.assertEqual(second.exit_code, 0, second.stdout)
            self.assertEqual(second.message_boxes(), [])
            moves = [c for c in second.calls if c.function == "MoveFileExW"]
            self.assertTrue(moves, "the second launcher tries to set folders aside")
            self.assertTrue(all(c.retval == 0 for c in moves), moves)
            self.assertEqual(glob.glob(os.path.join(
                unix_path(self.program_data), VENDOR_FOLDER + ".untrusted-*")), [])

            records = self.records()
            self.assertEqual(len(records), 2)
            second_record = [r for r in records if r.pid != first_record.pid][0]
            fallback = re.escape(self.program_data + "\\" + VENDOR_FOLDER) + \
                r"\.[0-9a-f]{16}\\" + re.escape(PRODUCT_FOLDER + "\\" + BOOTSTRAP_FOLDER) + \
                r"\\[^\\]+\.ps1$"
            self.assertRegex(second_record.script_path, fallback)
            self.assertEqual(second_record.script, self.source)
            self.assertFalse(os.path.exists(unix_path(second_record.script_path)))
            # The first launcher's script is still there, untouched.
            self.assertEqual(read_bytes(unix_path(first_record.script_path)),
                             self.source)
        finally:
            if first_record is not None:
                self.release(first_record)
            first_run = self.finish(first, first_log)
        self.assertEqual(first_run.exit_code, 0)
        self.assertFalse(os.path.exists(unix_path(first_record.script_path)),
                         "the first launcher deletes its script file")
        self.assertEqual(self.bootstrap_entries(), [])


if __name__ == "__main__":
    unittest.main()
