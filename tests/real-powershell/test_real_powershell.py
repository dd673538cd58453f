"""The built executable and its embedded script on a real PowerShell under Wine.

tests/real-powershell/run.sh prepares build/real-powershell: a Windows 10 prefix whose
C:\\windows\\system32\\WindowsPowerShell\\v1.0\\powershell.exe is PowerShell 7.6 for
Windows. Nothing here is simulated: the launcher writes and starts the script, the script
runs on .NET under Wine and writes its report, and Windows Forms calls MessageBoxW.

What Wine cannot give, and what the script must then write, is stated where it is checked:
- Wine makes up every file's owner from the Unix permissions (always the Wine user) and
  keeps no security descriptor, so no folder below ProgramData can ever be secured: every
  run ends in the fatal handler naming the folder, before the log file exists, and still
  writes its report. The five steps (and so DISM, a stub here that returns 0, and the
  downloads) are never reached; the simulated machine of tests/setup-script covers them.
- No CIM (the host leaves its module out), no optional-feature cmdlets, no Defender
  module, and an event log whose query fails.
"""

import glob
import hashlib
import os
import re
import shutil
import subprocess
import unittest

import pefile

import product  # tests/exe: the version and executable name CMake wrote

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
WORK = os.path.join(ROOT, "build", "real-powershell")
PREFIX = os.path.join(WORK, "wineprefix")
DRIVE_C = os.path.join(PREFIX, "drive_c")
EXE = product.DIST_EXE
WINE = "/usr/lib/wine/wine64"
POWERSHELL = "C:\\windows\\system32\\WindowsPowerShell\\v1.0\\powershell.exe"
TEST_ROOT = os.path.join(DRIVE_C, "orvelle-tests")
GAME_FOLDER = "C:\\orvelle-tests\\Cindral Online"
UTF8_BOM = b"\xef\xbb\xbf"
RT_RCDATA = 10

BLOCKS = [
    "[WINDOWS]",
    "[WINDOWS FEATURES]",
    "[DIRECTX / COMMON DLL FILES]",
    "[INSTALLED VISUAL C++ RUNTIMES]",
    "[GRAPHICS]",
    "[MICROSOFT DEFENDER STATUS - NO SETTINGS WERE CHANGED]",
    "[RECENT APPLICATION ERRORS - LAST 48 HOURS]",
    "[LIKELY CAUSES]",
    "[SETUP RESULT]",
]
DLLS = ["d3d9.dll", "d3dx9_43.dll", "d3dx9_42.dll", "xinput1_3.dll", "xaudio2_7.dll",
        "msvcp100.dll", "msvcr100.dll", "msvcp120.dll", "msvcr120.dll",
        "vcruntime140.dll", "msvcp140.dll"]
ATTENTION_TEXT = "ดำเนินการเสร็จแล้ว แต่มีบางรายการต้องตรวจสอบจากรายงานบน Desktop"
# The fatal failure of a run whose folders cannot be secured; it names the folder.
FOLDER_FAILURE = re.compile(
    r"^Fatal error: The folder (C:\\ProgramData\\ORVELLE[^:]*) could not be secured: .+$")


def unix_path(windows_path):
    assert windows_path[:3].upper() == "C:\\", windows_path
    return os.path.join(DRIVE_C, *windows_path[3:].split("\\"))


def wine(arguments, relay=False, timeout=150):
    env = dict(os.environ)
    env.update({
        "WINEPREFIX": PREFIX,
        "WINEARCH": "win64",
        "WINEDEBUG": "+relay" if relay else "-all",
        # .NET 10 on Wine 8 dies at exit with an internal CLR error otherwise.
        "DOTNET_EnableWriteXorExecute": "0",
        "HOME": os.path.join(WORK, "home"),
    })
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "WINEDLLOVERRIDES"):
        env.pop(name, None)
    result = subprocess.run([WINE] + arguments, env=env, capture_output=True,
                            timeout=timeout)
    return (result.returncode, result.stdout.decode("utf-8", "replace"),
            result.stderr.decode("utf-8", "replace"))


def clean_machine():
    """Removes what earlier runs left: ProgramData's ORVELLE folders (also any set
    aside), reports and the test files."""
    for folder in glob.glob(os.path.join(DRIVE_C, "ProgramData", "ORVELLE*")):
        shutil.rmtree(folder)
    for report in glob.glob(os.path.join(DRIVE_C, "users", "*", "*",
                                         "ORVELLE-Diagnostic-*.txt")):
        os.remove(report)
    shutil.rmtree(TEST_ROOT, ignore_errors=True)
    os.makedirs(TEST_ROOT)


def reports():
    return sorted(glob.glob(os.path.join(DRIVE_C, "users", "*", "Desktop",
                                         "ORVELLE-Diagnostic-*.txt")))


def embedded_script():
    pe = pefile.PE(EXE)
    try:
        for type_entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
            if type_entry.id != RT_RCDATA:
                continue
            for name_entry in type_entry.directory.entries:
                if name_entry.id == 101:
                    data = name_entry.directory.entries[0].data.struct
                    return pe.get_data(data.OffsetToData, data.Size)
    finally:
        pe.close()
    raise AssertionError("the executable has no script resource")


def decode_wine_string(text):
    """The text of a relay argument L"..." (Wine escapes non-ASCII as \\xxxx)."""
    escapes = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"'}
    out, index = [], 0
    while index < len(text):
        char = text[index]
        if char == "\\":
            following = text[index + 1]
            if following in escapes:
                out.append(escapes[following])
                index += 2
            else:
                out.append(chr(int(text[index + 1:index + 5], 16)))
                index += 5
        else:
            out.append(char)
            index += 1
    return "".join(out)


class Report:
    """A report file split into its header and its blocks (title -> lines)."""

    def __init__(self, path):
        with open(path, "rb") as handle:
            self.raw = handle.read()
        self.path = path
        text = self.raw[len(UTF8_BOM):].decode("utf-8")
        self.lines = text.split("\r\n")
        self.blocks = {}
        self.order = []
        current = None
        for line in self.lines:
            if line.startswith("[") and line.endswith("]"):
                current = line
                self.order.append(line)
                self.blocks[line] = []
            elif line == "":
                current = None
            elif current is not None:
                self.blocks[current].append(line)


class ReportChecks:
    """What every report written under Wine holds, whatever the run."""

    report = None

    def test_report_is_utf8_with_bom_and_crlf_only(self):
        raw = self.report.raw
        self.assertTrue(raw.startswith(UTF8_BOM))
        self.assertFalse(raw.startswith(UTF8_BOM * 2))
        self.assertTrue(raw.endswith(b"\r\n"))
        self.assertEqual(raw.count(b"\n"), raw.count(b"\r\n"), "a bare LF")
        self.assertEqual(raw.count(b"\r"), raw.count(b"\r\n"), "a bare CR")
        self.assertEqual(self.report.lines[0], "ORVELLE GAME SUPPORT - DIAGNOSTIC REPORT")

    def test_report_blocks_under_wine(self):
        blocks = self.report.blocks
        expected_order = list(BLOCKS)
        if self.game_path:
            expected_order.insert(expected_order.index("[RECENT APPLICATION ERRORS - LAST 48 HOURS]"),
                                  "[GAME FILES]")
        self.assertEqual(self.report.order, expected_order)
        # Without CIM the caption falls back to "Windows"; Wine answers as Windows 10
        # 1903 without a DisplayVersion value, and the run is elevated.
        self.assertEqual(blocks["[WINDOWS]"], [
            "OS           : Windows", "Version      : ", "Build        : 18362",
            "Architecture : 64-bit", "Admin        : True", "Pending reboot: False"])
        # No optional-feature cmdlets and no .NET 3.5 registry key under Wine.
        self.assertEqual(blocks["[WINDOWS FEATURES]"], [
            ".NET Framework 3.5 installed : False",
            "NetFx3 feature state         : Unavailable",
            "DirectPlay feature state     : Unavailable"])
        # Both system folders are listed, each with every DLL in order.
        dll_lines = blocks["[DIRECTX / COMMON DLL FILES]"]
        self.assertEqual(dll_lines[0], "-- C:\\windows\\System32")
        self.assertEqual(dll_lines[12], "-- C:\\windows\\SysWOW64")
        for offset in (1, 13):
            names = [re.match(r"^(?:FOUND   (\S+) +Version .*|MISSING (\S+))$", line)
                     for line in dll_lines[offset:offset + 11]]
            self.assertTrue(all(names), dll_lines)
            self.assertEqual([match.group(1) or match.group(2) for match in names], DLLS)
        self.assertEqual(len(dll_lines), 24)
        self.assertIn("FOUND   d3d9.dll", dll_lines[1])
        self.assertEqual(blocks["[INSTALLED VISUAL C++ RUNTIMES]"], ["No matching entries found."])
        # The graphics query goes through CIM, which is not there.
        self.assertRegex(blocks["[GRAPHICS]"][0], r"^Unable to query GPU: .*Get-CimInstance")
        self.assertEqual(blocks["[MICROSOFT DEFENDER STATUS - NO SETTINGS WERE CHANGED]"], [
            "Microsoft Defender PowerShell module is unavailable (another antivirus may be installed)."])
        # Wine's event log query fails; the block holds only the failure.
        events = blocks["[RECENT APPLICATION ERRORS - LAST 48 HOURS]"]
        self.assertEqual(len(events), 1, events)
        self.assertRegex(events[0], r"^Unable to query event log: \S")
        # The crash check reads the same failing query and says so; Wine has no pending
        # restart, and only a nearly full disk here would add its free-space line.
        causes = blocks["[LIKELY CAUSES]"]
        self.assertRegex(causes[0], r"^Unable to check crashes: \S")
        for line in causes[1:]:
            self.assertRegex(line, r"^Only \S+ GB free on ")

    def test_run_ends_in_the_fatal_handler_naming_the_unsafe_folder(self):
        result = self.report.blocks["[SETUP RESULT]"]
        failures = [line[len("FAIL: "):] for line in result if line.startswith("FAIL: ")]
        self.assertEqual(len(failures), 1, result)
        self.assertRegex(failures[0], FOLDER_FAILURE)
        # The folders are checked before the log file is made: there is none to name.
        self.assertEqual(result[-1], "Setup log: ")
        self.assertEqual(self.report.lines[-2:], [
            "Privacy note: This report can include computer name, local file paths and "
            "recent application error details. Review it before sharing.", ""])
        self.assertEqual(glob.glob(os.path.join(DRIVE_C, "ProgramData", "ORVELLE*", "**", "*.log"),
                                   recursive=True), [])


class ExecutableRun(ReportChecks, unittest.TestCase):
    """The player's run: the executable, no parameters."""

    game_path = None

    @classmethod
    def setUpClass(cls):
        clean_machine()
        shutil.copyfile(EXE, os.path.join(TEST_ROOT, os.path.basename(EXE)))
        cls.exit_code, cls.stdout, cls.relay = wine(
            ["C:\\orvelle-tests\\" + os.path.basename(EXE)], relay=True)
        found = reports()
        cls.report = Report(found[0]) if len(found) == 1 else None
        cls.report_count = len(found)

    def setUp(self):
        self.assertEqual(self.report_count, 1, "the run wrote no report, or several")

    def relay_calls(self, function):
        pattern = re.compile(r"^([0-9a-f]{4}):Call [A-Za-z0-9]+\.%s\((.*)\) ret=[0-9a-f]+$"
                             % function)
        return [match.groups() for match in map(pattern.match, self.relay.splitlines())
                if match]

    def test_exit_code_is_the_scripts_and_its_file_is_gone(self):
        self.assertEqual(self.exit_code, 1)
        starts = [arguments for _, arguments in self.relay_calls("CreateProcessW")
                  if "WindowsPowerShell" in arguments]
        self.assertTrue(starts, "PowerShell was never started")
        script = re.search(r'-File \\"([^"\\]+(?:\\\\[^"\\]+)*)\\"', starts[0])
        self.assertIsNotNone(script, starts[0])
        script_path = decode_wine_string(script.group(1))
        self.assertRegex(script_path, r"^C:\\ProgramData\\ORVELLE\\.+\.ps1$")
        self.assertFalse(os.path.exists(unix_path(script_path)), script_path)

    def test_message_box_shows_the_attention_text(self):
        boxes = self.relay_calls("MessageBoxW")
        self.assertEqual(len(boxes), 1, boxes)
        match = re.match(r'^[0-9a-f]+,[0-9a-f]+ L"(.*)",[0-9a-f]+ L"(.*)",([0-9a-f]+)$',
                         boxes[0][1])
        self.assertIsNotNone(match, boxes[0][1])
        self.assertEqual(decode_wine_string(match.group(1)), ATTENTION_TEXT)
        self.assertEqual(decode_wine_string(match.group(2)), "ORVELLE GAME SUPPORT")
        self.assertEqual(int(match.group(3), 16), 0x30)  # OK button, warning icon


class QuietExecutableRun(unittest.TestCase):
    """The executable as a deployment tool starts it: /quiet /norestart."""

    @classmethod
    def setUpClass(cls):
        clean_machine()
        shutil.copyfile(EXE, os.path.join(TEST_ROOT, os.path.basename(EXE)))
        cls.exit_code, cls.stdout, cls.relay = wine(
            ["C:\\orvelle-tests\\" + os.path.basename(EXE), "/quiet", "/norestart"],
            relay=True)

    def test_ends_with_the_scripts_code_without_a_box_or_a_desktop_report(self):
        # Under Wine the folders cannot be made private, so the unattended script ends in
        # its fatal handler: code 1, and no report, since it never writes to a desktop.
        self.assertEqual(self.exit_code, 1)
        self.assertEqual(ExecutableRun.relay_calls(self, "MessageBoxW"), [])
        starts = [arguments for _, arguments in ExecutableRun.relay_calls(self, "CreateProcessW")
                  if "WindowsPowerShell" in arguments]
        self.assertTrue(starts, "PowerShell was never started")
        self.assertIn('.ps1\\" -Unattended -LauncherFolder \\"', starts[0])
        self.assertEqual(reports(), [])


class DiagnosticsOnlyRun(ReportChecks, unittest.TestCase):
    """The embedded script run by hand: -DiagnosticsOnly -GamePath on a game folder."""

    game_path = GAME_FOLDER

    @classmethod
    def setUpClass(cls):
        clean_machine()
        script = embedded_script()
        with open(os.path.join(TEST_ROOT, "ORVELLE-Prerequisites.ps1"), "wb") as handle:
            handle.write(script)
        os.makedirs(unix_path(GAME_FOLDER))
        cls.game_exe = b"MZ" + b"not really a game" * 64
        with open(os.path.join(unix_path(GAME_FOLDER), "Cindral.exe"), "wb") as handle:
            handle.write(cls.game_exe)
        with open(os.path.join(unix_path(GAME_FOLDER), "readme.txt"), "wb") as handle:
            handle.write(b"not listed")
        cls.exit_code, cls.stdout, _ = wine([
            POWERSHELL, "-NoProfile", "-ExecutionPolicy", "Bypass", "-File",
            "C:\\orvelle-tests\\ORVELLE-Prerequisites.ps1", "-DiagnosticsOnly",
            "-GamePath", GAME_FOLDER])
        found = reports()
        cls.report = Report(found[0]) if len(found) == 1 else None
        cls.report_count = len(found)

    def setUp(self):
        self.assertEqual(self.report_count, 1, "the run wrote no report, or several")

    def test_exit_code_and_console(self):
        self.assertEqual(self.exit_code, 1, self.stdout)
        lines = self.stdout.replace("\r\n", "\n").split("\n")
        fatal = [line for line in lines if line.startswith("Fatal error: ")]
        self.assertEqual(len(fatal), 1, self.stdout)
        self.assertRegex(fatal[0], FOLDER_FAILURE)
        report_line = "Diagnostic report: C:\\users\\%s\\Desktop\\%s" % (
            os.path.basename(os.path.dirname(os.path.dirname(self.report.path))),
            os.path.basename(self.report.path))
        self.assertIn(report_line, lines)

    def test_secured_folder_is_created_before_the_check_refuses_it(self):
        # The first folder did not exist: the script made it through the PowerShell 7
        # API, and only its check of Wine's made-up owner refused it.
        self.assertTrue(os.path.isdir(os.path.join(DRIVE_C, "ProgramData", "ORVELLE")))

    def test_game_files_block_lists_the_programs_with_their_hashes(self):
        lines = self.report.blocks["[GAME FILES]"]
        self.assertEqual(lines[0], "Target: " + GAME_FOLDER)
        self.assertEqual(len(lines), 2, lines)
        match = re.match(r"^Cindral\.exe \| Size=(\d+) \| Version=[^|]* \| Signature=(\w+) "
                         r"\| SHA256=([0-9A-F]{64})$", lines[1])
        self.assertIsNotNone(match, lines[1])
        self.assertEqual(int(match.group(1)), len(self.game_exe))
        self.assertNotEqual(match.group(2), "Valid")
        self.assertEqual(match.group(3), hashlib.sha256(self.game_exe).hexdigest().upper())


class FolderCreationApi(unittest.TestCase):
    """PowerShell 7 has no Directory.CreateDirectory(path, security); the script must
    find FileSystemAclExtensions.Create at run time. The folder is then read through a
    handle the script opens itself (CreateFileW and the calls after it, made in memory)."""

    def test_secured_folder_is_made_and_reads_back_through_its_handle(self):
        clean_machine()
        with open(os.path.join(TEST_ROOT, "ORVELLE-Prerequisites.ps1"), "wb") as handle:
            handle.write(embedded_script())
        probe = ("$ErrorActionPreference = 'Stop'; "
                 ". C:\\orvelle-tests\\ORVELLE-Prerequisites.ps1; "
                 "New-FolderWithSecurity -Path C:\\orvelle-tests\\made -Sddl (Get-SecuredFolderSddl); "
                 "'exists=' + [System.IO.Directory]::Exists('C:\\orvelle-tests\\made'); "
                 "$folder = Open-FolderHandle -Path C:\\orvelle-tests\\made; "
                 "'attributes=' + (Get-FolderHandleAttributes -Handle $folder); "
                 "'owner=' + (Get-FolderHandleSecurity -Handle $folder).Owner; "
                 "Close-FolderHandle -Handle $folder; "
                 "'missing=' + ($null -eq (Open-FolderHandle -Path C:\\orvelle-tests\\none))")
        exit_code, stdout, stderr = wine([POWERSHELL, "-NoProfile", "-ExecutionPolicy", "Bypass", "-Command", probe])
        lines = [line.strip() for line in stdout.splitlines() if line.strip()]
        self.assertEqual(exit_code, 0, stdout + stderr)
        self.assertIn("exists=True", lines)
        self.assertIn("attributes=Directory", lines)
        self.assertIn("missing=True", lines)
        # Wine keeps no security descriptor: the owner read back is the Wine user, not
        # Administrators. Should this change, the full offline run becomes possible here.
        owners = [line for line in lines if line.startswith("owner=")]
        self.assertEqual(len(owners), 1, lines)
        self.assertRegex(owners[0], r"^owner=S-1-5-21-")


if __name__ == "__main__":
    unittest.main()
