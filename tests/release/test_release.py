"""Signing a release with ./release.sh and checking signed files, with a throwaway CA."""

import hashlib
import os
import shutil
import subprocess
import tempfile
import unittest

import pefile

import product  # tests/exe: the version and executable name CMake wrote

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
EXE_NAME = product.EXE_NAME
DIST_EXE = product.DIST_EXE
SCRIPT = os.path.join(ROOT, "setup-script", "ORVELLE-Prerequisites.ps1")
RELEASE = os.path.join(ROOT, "release.sh")
CHECK = os.path.join(ROOT, "tools", "check-signed-release.sh")
PASSWORD = "throwaway pass"
URL = "https://example.invalid/orvelle"
RT_RCDATA = 10


def run(command, env=None):
    return subprocess.run(command, capture_output=True, text=True, env=env)


def openssl(*arguments):
    subprocess.run(["openssl", *arguments], check=True, capture_output=True)


def read(path):
    with open(path, "rb") as handle:
        return handle.read()


def write(path, data):
    with open(path, "wb") as handle:
        handle.write(data)


def flipped(data, offset):
    return data[:offset] + bytes([data[offset] ^ 0x01]) + data[offset + 1:]


def sha256(data):
    return hashlib.sha256(data).hexdigest()


class Release(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.unsigned = read(DIST_EXE)
        if pefile.PE(data=cls.unsigned, fast_load=True) \
                .OPTIONAL_HEADER.DATA_DIRECTORY[4].Size:
            raise AssertionError(DIST_EXE + " is signed; run ./build.sh")
        cls.temp = tempfile.mkdtemp(prefix="orvelle-release-")
        cls.password_file = cls.path("password")
        with open(cls.password_file, "w") as handle:
            handle.write(PASSWORD + "\n")
        cls.ca = cls.make_ca("ca")
        cls.other_ca = cls.make_ca("other-ca")
        cls.p12 = {usage: cls.make_p12(usage) for usage in
                   ("codeSigning", "serverAuth", "msCodeCom", None)}
        cls.result, cls.signed_exe = cls.release("first", 1700000000)
        cls.signed = read(cls.signed_exe)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.temp, ignore_errors=True)

    @classmethod
    def path(cls, name):
        return os.path.join(cls.temp, name)

    @classmethod
    def make_ca(cls, name):
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30",
                "-keyout", cls.path(name + ".key"), "-out", cls.path(name + ".pem"),
                "-subj", "/CN=Throwaway " + name,
                "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        return cls.path(name + ".pem")

    @classmethod
    def make_p12(cls, usage):
        name = "leaf-%s" % usage
        extensions = ["basicConstraints=CA:FALSE",
                      "keyUsage=critical,digitalSignature"]
        if usage:
            extensions.append("extendedKeyUsage=" + usage)
        with open(cls.path(name + ".ext"), "w") as handle:
            handle.write("\n".join(extensions) + "\n")
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=ORVELLE",
                "-keyout", cls.path(name + ".key"), "-out", cls.path(name + ".csr"))
        openssl("x509", "-req", "-days", "30", "-in", cls.path(name + ".csr"),
                "-CA", cls.ca, "-CAkey", cls.path("ca.key"), "-CAcreateserial",
                "-extfile", cls.path(name + ".ext"), "-out", cls.path(name + ".pem"))
        openssl("pkcs12", "-export", "-inkey", cls.path(name + ".key"),
                "-in", cls.path(name + ".pem"), "-certfile", cls.ca,
                "-passout", "file:" + cls.password_file,
                "-out", cls.path(name + ".p12"))
        return cls.path(name + ".p12")

    @classmethod
    def release(cls, folder, signing_time, usage="codeSigning", ca=None,
                password_in_variable=False):
        """Runs release.sh on a fresh copy of the unsigned build in its own folder."""
        os.makedirs(cls.path(folder))
        exe = os.path.join(cls.path(folder), EXE_NAME)
        write(exe, cls.unsigned)
        env = dict(os.environ, ORVELLE_SIGN_PKCS12=cls.p12[usage],
                   ORVELLE_SIGN_CA_FILE=ca or cls.ca, ORVELLE_SIGN_URL=URL,
                   SOURCE_DATE_EPOCH=str(signing_time))
        if password_in_variable:
            env["ORVELLE_SIGN_PASSWORD"] = PASSWORD
        else:
            env["ORVELLE_SIGN_PASSWORD_FILE"] = cls.password_file
        return run([RELEASE, exe], env), exe

    def test_release_signs_checks_and_records_hashes(self):
        self.assertEqual(self.result.returncode, 0, self.result.stderr)
        self.assertNotEqual(self.signed, self.unsigned)
        self.assertIn(sha256(self.unsigned), self.result.stdout)
        self.assertIn(sha256(self.signed), self.result.stdout)
        self.assertEqual(read(os.path.join(os.path.dirname(self.signed_exe), "SHA256SUMS")),
                         ("%s  %s\n" % (sha256(self.signed), EXE_NAME)).encode())
        verify = run(["osslsigncode", "verify", "-CAfile", self.ca, "-in", self.signed_exe])
        self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)
        for text in ("Message digest algorithm  : SHA256",
                     "Text description: ORVELLE GAME SUPPORT", "URL description: " + URL):
            self.assertIn(text, verify.stdout)
        unsigned_copy = self.path("unsigned.exe")
        write(unsigned_copy, self.unsigned)
        check = run([CHECK, self.signed_exe, unsigned_copy, self.ca])
        self.assertEqual(check.returncode, 0, check.stderr)

        again = run([RELEASE, self.signed_exe], dict(
            os.environ, ORVELLE_SIGN_PKCS12=self.p12["codeSigning"],
            ORVELLE_SIGN_PASSWORD_FILE=self.password_file,
            ORVELLE_SIGN_CA_FILE=self.ca, ORVELLE_SIGN_URL=URL))
        self.assertNotEqual(again.returncode, 0)
        self.assertIn("is already signed", again.stderr)
        self.assertEqual(read(self.signed_exe), self.signed)

    def test_embedded_script_is_unchanged_by_signing(self):
        pe = pefile.PE(data=self.signed)
        scripts = [pe.get_data(language.data.struct.OffsetToData, language.data.struct.Size)
                   for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries if kind.id == RT_RCDATA
                   for name in kind.directory.entries if name.id == 101
                   for language in name.directory.entries]
        self.assertEqual(scripts, [read(SCRIPT)])

    def test_fixed_signing_time_gives_identical_bytes(self):
        same, same_exe = self.release("same-time", 1700000000, password_in_variable=True)
        later, later_exe = self.release("later-time", 1700000060)
        self.assertEqual((same.returncode, later.returncode), (0, 0), same.stderr + later.stderr)
        self.assertEqual(read(same_exe), self.signed)
        self.assertNotEqual(read(later_exe), self.signed)

    def test_release_refuses_and_leaves_the_build_unsigned(self):
        lacks_usage = "lacks the code-signing extended key usage"
        cases = [
            ("no-usage", None, None, lacks_usage),
            ("server-only", "serverAuth", None, lacks_usage),
            ("commercial-only", "msCodeCom", None, lacks_usage),
            ("other-ca", "codeSigning", self.other_ca, "does not verify against"),
        ]
        for folder, usage, ca, message in cases:
            with self.subTest(folder):
                result, exe = self.release(folder, 1700000000, usage, ca)
                self.assertNotEqual(result.returncode, 0)
                self.assertIn(message, result.stderr)
                self.assertEqual(read(exe), self.unsigned)
                self.assertEqual(sorted(os.listdir(os.path.dirname(exe))), [EXE_NAME])

    def test_check_refuses_tampered_files(self):
        pe = pefile.PE(data=self.signed, fast_load=True)
        table = pe.OPTIONAL_HEADER.DATA_DIRECTORY[4]
        script_offset = self.unsigned.find(read(SCRIPT)[:64])
        self.assertGreater(script_offset, 0)

        other_build = self.path("other-build.exe")
        write(other_build, flipped(self.unsigned, script_offset + 100))
        other_signed = self.path("other-build-signed.exe")
        subprocess.run(["osslsigncode", "sign", "-pkcs12", self.p12["codeSigning"],
                        "-readpass", self.password_file, "-h", "sha256",
                        "-in", other_build, "-out", other_signed],
                       check=True, capture_output=True)

        not_verified = "does not verify against"
        cases = [
            ("script byte", flipped(self.signed, script_offset + 100), not_verified),
            ("certificate table byte",
             flipped(self.signed, table.VirtualAddress + table.Size - 100), not_verified),
            ("bytes after the signature", self.signed + b"\0" * 8, not_verified),
            ("signed from another build", read(other_signed), "beyond its signature"),
        ]
        unsigned_copy = self.path("unsigned-for-check.exe")
        write(unsigned_copy, self.unsigned)
        for name, data, message in cases:
            with self.subTest(name):
                candidate = self.path("candidate.exe")
                write(candidate, data)
                result = run([CHECK, candidate, unsigned_copy, self.ca])
                self.assertNotEqual(result.returncode, 0)
                self.assertIn(message, result.stderr)


if __name__ == "__main__":
    unittest.main()
