"""Shared paths and Wine helpers for the executable's tests."""

import os
import re
import shutil
import subprocess

from product import DIST_DETECTION, DIST_EXE, DIST_SCRIPT, EXE_NAME, ROOT, VERSION  # noqa: F401

# The "mingw-tests" preset's build folder: the variant without the script, the
# test helpers and the Wine prefix.
BUILD = os.environ.get("ORVELLE_BUILD_DIR",
                       os.path.join(ROOT, "build", "mingw-tests"))
NO_SCRIPT_EXE = os.path.join(BUILD, "ORVELLE-Setup-without-script.exe")
SCRIPT = DIST_SCRIPT
ICON = os.path.join(ROOT, "resources", "orvelle.ico")
ICON_GENERATOR = os.path.join(ROOT, "resources", "make_icon.py")
HELPERS = os.path.join(BUILD, "tests", "launcher")
STANDIN = os.path.join(HELPERS, "standin-powershell.exe")
RUN_WITH_ENV = os.path.join(HELPERS, "run-with-env.exe")
PREFIX = os.path.join(BUILD, "wineprefix")
WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
PREFIX_SCRIPT = os.path.join(ROOT, "tests", "launcher", "wine-prefix.sh")

SYSTEM_DIR = "C:\\windows\\system32"
POWERSHELL_UNIX = os.path.join(PREFIX, "drive_c", "windows", "system32",
                               "WindowsPowerShell", "v1.0", "powershell.exe")
# Where the tests keep their files inside the prefix: C:\orvelle-tests.
TEST_ROOT_UNIX = os.path.join(PREFIX, "drive_c", "orvelle-tests")
TEST_ROOT_WIN = "C:\\orvelle-tests"


def read_bytes(path):
    with open(path, "rb") as handle:
        return handle.read()


def unix_path(windows_path):
    """The Unix path of a C:\\ path inside the prefix."""
    assert windows_path[:3].upper() == "C:\\", windows_path
    return os.path.join(PREFIX, "drive_c", *windows_path[3:].split("\\"))


def wine_env(relay=False, extra=None):
    env = dict(os.environ)
    env.update({
        "WINEPREFIX": PREFIX,
        "WINEARCH": "win64",
        "WINEDLLOVERRIDES": "mscoree,mshtml=",
        "WINEDEBUG": "+relay" if relay else "-all",
    })
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    if extra:
        env.update(extra)
    return env


def prepare_prefix():
    """Creates the prefix (once) and installs the recording PowerShell."""
    subprocess.run([PREFIX_SCRIPT, PREFIX], check=True)
    os.makedirs(os.path.dirname(POWERSHELL_UNIX), exist_ok=True)
    shutil.copyfile(STANDIN, POWERSHELL_UNIX)
    os.makedirs(TEST_ROOT_UNIX, exist_ok=True)


def restart_prefix_server():
    """Stops this prefix's wineserver, so process ids start low again."""
    for option in ("-k", "-w"):
        subprocess.run([WINESERVER, option], env=wine_env(), check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class RelayCall:
    def __init__(self, thread, function, arguments, line):
        self.thread = thread
        self.function = function
        self.arguments = arguments
        self.line = line
        self.retval = None

    def __repr__(self):
        return "%s(%s) -> %s" % (self.function, self.arguments, self.retval)


_CALL = re.compile(r"^([0-9a-f]{4}):Call ([A-Za-z0-9_]+)\.([A-Za-z0-9_]+)\((.*)\) ret=[0-9a-f]+$")
_RET = re.compile(r"^([0-9a-f]{4}):Ret  ([A-Za-z0-9_]+)\.([A-Za-z0-9_]+)\(\) retval=([0-9a-f]+) ret=[0-9a-f]+$")


def launcher_calls(relay_text):
    """The relayed calls of the launcher's own thread, in order.

    The launcher's thread is the one that calls SetDefaultDllDirectories;
    nothing else in these runs does.
    """
    calls = []
    open_calls = {}
    thread = None
    for line in relay_text.splitlines():
        match = _CALL.match(line)
        if match:
            if thread is None and match.group(3) == "SetDefaultDllDirectories":
                thread = match.group(1)
            if match.group(1) == thread:
                call = RelayCall(thread, match.group(3), match.group(4), line)
                calls.append(call)
                open_calls.setdefault(match.group(3), []).append(call)
            continue
        match = _RET.match(line)
        if match and match.group(1) == thread:
            pending = open_calls.get(match.group(3))
            if pending:
                pending.pop().retval = int(match.group(4), 16)
    return calls


class LauncherRun:
    def __init__(self, exit_code, relay, stdout):
        self.exit_code = exit_code
        self.relay = relay
        self.stdout = stdout

    @property
    def calls(self):
        return launcher_calls(self.relay)

    def message_boxes(self):
        return [call for call in self.calls if call.function == "MessageBoxW"]


def launcher_command(exe_windows_path, program_data, arguments=()):
    """run-with-env command line: program_data None means unset."""
    setting = "-ProgramData" if program_data is None else "ProgramData=" + program_data
    return [WINE, RUN_WITH_ENV, setting, "--", exe_windows_path] + list(arguments)


def parse_exit_code(stdout):
    match = re.search(r"exit-code (\d+)", stdout)
    return int(match.group(1)) if match else None


def run_launcher(exe_windows_path, program_data, record_windows, exit_code=0,
                 relay=False, timeout=180, extra_env=None, arguments=()):
    env = wine_env(relay, dict({
        "ORVELLE_STANDIN_RECORD": record_windows,
        "ORVELLE_STANDIN_EXIT": str(exit_code),
    }, **(extra_env or {})))
    result = subprocess.run(launcher_command(exe_windows_path, program_data,
                                             arguments),
                            env=env, capture_output=True, timeout=timeout)
    stdout = result.stdout.decode("utf-8", "replace")
    relay_text = result.stderr.decode("utf-8", "replace")
    return LauncherRun(parse_exit_code(stdout), relay_text, stdout)


class StandinRecord:
    """What one run of the recording PowerShell saw."""

    def __init__(self, folder, pid):
        base = os.path.join(folder, str(pid))
        self.pid = pid
        self.command_line = read_bytes(base + ".cmdline").decode("utf-16-le")
        # The command line as Windows splits it (CommandLineToArgvW).
        self.arguments = read_bytes(base + ".argv").decode(
            "utf-16-le").split("\0")[:-1]
        self.current_directory = read_bytes(base + ".cwd").decode("utf-16-le")
        script = base + ".script"
        self.script = read_bytes(script) if os.path.exists(script) else None
        env = base + ".env"
        self.environment = (read_bytes(env).decode("utf-16-le").splitlines()
                            if os.path.exists(env) else None)
        rename = base + ".rename"
        self.rename = (read_bytes(rename).decode() if os.path.exists(rename)
                       else None)

    @property
    def script_path(self):
        match = re.search(r'-File "([^"]+)"', self.command_line)
        return match.group(1) if match else None


def standin_records(folder):
    pids = sorted(int(name.split(".")[0]) for name in os.listdir(folder)
                  if name.endswith(".done"))
    return [StandinRecord(folder, pid) for pid in pids]
