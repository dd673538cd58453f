"""Signing a release with ./release.sh and checking signed files, with a throwaway CA."""

import hashlib
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

import pefile

import product  # tests/exe: the version and executable name CMake wrote

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
EXE_NAME = product.EXE_NAME
DIST_EXE = product.DIST_EXE
SCRIPT = product.DIST_SCRIPT
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


def last_line(text):
    lines = text.strip().splitlines()
    return lines[-1] if lines else ""


def signature_subjects(exe, folder):
    """The subjects of the certificates carried in exe's signature, sorted."""
    pem = os.path.join(folder, "signature.pem")
    subprocess.run(["osslsigncode", "extract-signature", "-pem", "-in", exe, "-out", pem],
                   check=True, capture_output=True)
    listing = subprocess.run(["openssl", "pkcs7", "-print_certs", "-noout", "-in", pem],
                             check=True, capture_output=True, text=True).stdout
    return sorted(line.split("=", 1)[1].strip() for line in listing.splitlines()
                  if line.startswith("subject="))


def stopped_within(process, seconds):
    """True when the process ends within the given seconds; otherwise kills it."""
    try:
        process.wait(timeout=seconds)
        return True
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        return False


class SilentTimeStampServer:
    """A TCP port whose connections the kernel accepts and nobody ever answers."""

    def __enter__(self):
        self.socket = socket.create_server(("127.0.0.1", 0))
        self.url = "http://127.0.0.1:%d/" % self.socket.getsockname()[1]
        return self

    def __exit__(self, *exception):
        self.socket.close()

    def wait_for_request(self, seconds):
        """The connection of the first caller, once it has arrived."""
        self.socket.settimeout(seconds)
        connection, _ = self.socket.accept()
        return connection


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
        cls.intermediate = cls.make_intermediate("intermediate", "ca")
        cls.ca_and_intermediate = cls.path("ca-and-intermediate.pem")
        write(cls.ca_and_intermediate, read(cls.ca) + read(cls.intermediate))
        cls.p12 = {usage: cls.make_p12("leaf-%s" % usage, usage, "ca", [cls.ca])
                   for usage in ("codeSigning", "serverAuth", "msCodeCom", None)}
        cls.p12["leaf alone"] = cls.make_p12("chain-leaf", "codeSigning", "intermediate", [])
        cls.p12["with intermediate"] = cls.make_p12(
            "chain-intermediate", "codeSigning", "intermediate", [cls.intermediate])
        cls.p12["with intermediate and root"] = cls.make_p12(
            "chain-all", "codeSigning", "intermediate", [cls.intermediate, cls.ca])
        # Every certificate above is valid for 30 days from its making.
        cls.signed_at = int(time.time())
        cls.result, cls.signed_exe = cls.release("first")
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
    def issue(cls, name, issuer, extensions):
        """A certificate for a fresh key, issued by the CA named issuer."""
        with open(cls.path(name + ".ext"), "w") as handle:
            handle.write("\n".join(extensions) + "\n")
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + name,
                "-keyout", cls.path(name + ".key"), "-out", cls.path(name + ".csr"))
        openssl("x509", "-req", "-days", "30", "-in", cls.path(name + ".csr"),
                "-CA", cls.path(issuer + ".pem"), "-CAkey", cls.path(issuer + ".key"),
                "-CAcreateserial", "-extfile", cls.path(name + ".ext"),
                "-out", cls.path(name + ".pem"))
        return cls.path(name + ".pem")

    @classmethod
    def make_intermediate(cls, name, issuer):
        return cls.issue(name, issuer, ["basicConstraints=critical,CA:TRUE",
                                        "keyUsage=critical,keyCertSign,cRLSign"])

    @classmethod
    def make_p12(cls, name, usage, issuer, others):
        """A PKCS#12 file with a new end certificate, its key and the certificates others."""
        extensions = ["basicConstraints=CA:FALSE", "keyUsage=critical,digitalSignature"]
        if usage:
            extensions.append("extendedKeyUsage=" + usage)
        leaf = cls.issue(name, issuer, extensions)
        others_file = cls.path(name + "-others.pem")
        write(others_file, b"".join(read(other) for other in others))
        openssl("pkcs12", "-export", "-inkey", cls.path(name + ".key"), "-in", leaf,
                *(["-certfile", others_file] if others else []),
                "-passout", "file:" + cls.password_file, "-out", cls.path(name + ".p12"))
        return cls.path(name + ".p12")

    @classmethod
    def release_env(cls, **overrides):
        env = dict(os.environ, ORVELLE_SIGN_PKCS12=cls.p12["codeSigning"],
                   ORVELLE_SIGN_PASSWORD_FILE=cls.password_file,
                   ORVELLE_SIGN_CA_FILE=cls.ca, ORVELLE_SIGN_URL=URL,
                   SOURCE_DATE_EPOCH=str(cls.signed_at))
        env.update(overrides)
        return env

    @classmethod
    def build_folder(cls, folder):
        """A folder holding a fresh copy of the unsigned build and its SHA256SUMS."""
        os.makedirs(cls.path(folder))
        exe = os.path.join(cls.path(folder), EXE_NAME)
        write(exe, cls.unsigned)
        write(os.path.join(cls.path(folder), "SHA256SUMS"),
              ("%s  %s\n" % (sha256(cls.unsigned), EXE_NAME)).encode())
        return exe

    @classmethod
    def release(cls, folder, **overrides):
        """Runs release.sh on a fresh copy of the unsigned build in its own folder."""
        exe = cls.build_folder(folder)
        return run([RELEASE, exe], cls.release_env(**overrides)), exe

    @classmethod
    def start_release(cls, folder, **overrides):
        """release.sh started on a fresh copy of the unsigned build. Its error output goes to
        a file beside the folder: a signer left running must not hold a pipe of the test."""
        exe = cls.build_folder(folder)
        errors = cls.path(folder + ".stderr")
        with open(errors, "wb") as handle:
            process = subprocess.Popen([RELEASE, exe], stdout=subprocess.DEVNULL,
                                       stderr=handle, env=cls.release_env(**overrides))
        return process, exe, errors

    def assert_left_unsigned(self, exe):
        """Only the unsigned build and its true SHA256SUMS are in exe's folder."""
        folder = os.path.dirname(exe)
        self.assertEqual(sorted(os.listdir(folder)), sorted([EXE_NAME, "SHA256SUMS"]))
        self.assertEqual(read(exe), self.unsigned)
        self.assertEqual(read(os.path.join(folder, "SHA256SUMS")),
                         ("%s  %s\n" % (sha256(self.unsigned), EXE_NAME)).encode())

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
        same, same_exe = self.release("same-time", ORVELLE_SIGN_PASSWORD_FILE="",
                                      ORVELLE_SIGN_PASSWORD=PASSWORD)
        later, later_exe = self.release("later-time",
                                        SOURCE_DATE_EPOCH=str(self.signed_at + 60))
        self.assertEqual((same.returncode, later.returncode), (0, 0), same.stderr + later.stderr)
        self.assertEqual(read(same_exe), self.signed)
        self.assertNotEqual(read(later_exe), self.signed)

    def test_signature_carries_the_chain_but_not_the_root(self):
        cases = [
            ("leaf alone", self.ca_and_intermediate, "chain-leaf"),
            ("with intermediate", self.ca, "chain-intermediate"),
            ("with intermediate and root", self.ca_and_intermediate, "chain-all"),
        ]
        for p12, ca, leaf in cases:
            with self.subTest(p12):
                folder = "chain " + p12
                result, exe = self.release(folder, ORVELLE_SIGN_PKCS12=self.p12[p12],
                                           ORVELLE_SIGN_CA_FILE=ca)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(signature_subjects(exe, self.path(folder)),
                                 ["CN = " + leaf, "CN = intermediate"])
                verify = run(["osslsigncode", "verify", "-CAfile", self.ca, "-in", exe])
                self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)

    def test_release_refuses_and_leaves_the_build_unsigned(self):
        lacks_usage = "lacks the code-signing extended key usage"
        no_issuer = "holds the certificate CN=Throwaway %s that issued CN=%s"
        missing = self.path("missing")
        day = 24 * 3600
        cases = [
            ("no-usage", {"ORVELLE_SIGN_PKCS12": self.p12[None]}, lacks_usage),
            ("server-only", {"ORVELLE_SIGN_PKCS12": self.p12["serverAuth"]}, lacks_usage),
            ("commercial-only", {"ORVELLE_SIGN_PKCS12": self.p12["msCodeCom"]}, lacks_usage),
            ("other-ca", {"ORVELLE_SIGN_CA_FILE": self.other_ca},
             no_issuer % ("ca", "leaf-codeSigning")),
            ("intermediate nowhere", {"ORVELLE_SIGN_PKCS12": self.p12["leaf alone"]},
             "holds the certificate CN=intermediate that issued CN=chain-leaf"),
            ("before the certificate", {"SOURCE_DATE_EPOCH": str(self.signed_at - day)},
             "is not yet valid at the signing time"),
            ("after the certificate", {"SOURCE_DATE_EPOCH": str(self.signed_at + 31 * day)},
             "has expired at the signing time"),
            ("no PKCS#12", {"ORVELLE_SIGN_PKCS12": missing}, missing + " not found"),
            ("no CA file", {"ORVELLE_SIGN_CA_FILE": missing}, missing + " not found"),
            ("no password file", {"ORVELLE_SIGN_PASSWORD_FILE": missing},
             missing + " not found"),
        ]
        for folder, overrides, message in cases:
            with self.subTest(folder):
                result, exe = self.release(folder, **overrides)
                self.assertNotEqual(result.returncode, 0)
                self.assertIn(message, last_line(result.stderr))
                self.assert_left_unsigned(exe)

    def test_silent_time_stamp_server_ends_the_release_within_its_limit(self):
        with SilentTimeStampServer() as server:
            release, exe, errors = self.start_release(
                "silent-server", ORVELLE_TIMESTAMP_URL=server.url, ORVELLE_TIMESTAMP_TIMEOUT="2")
            self.assertTrue(stopped_within(release, 20), "release.sh still running after 20 s")
        self.assertNotEqual(release.returncode, 0)
        self.assertIn("the time-stamp server %s did not answer within 2 seconds" % server.url,
                      last_line(read(errors).decode()))
        self.assert_left_unsigned(exe)

    def test_term_while_signing_leaves_only_the_unsigned_build(self):
        with SilentTimeStampServer() as server:
            release, exe, _ = self.start_release("terminated", ORVELLE_TIMESTAMP_URL=server.url)
            try:
                # The signer has sent its time-stamp request and waits for the answer.
                with server.wait_for_request(30) as connection:
                    release.send_signal(signal.SIGTERM)
                    self.assertTrue(stopped_within(release, 15),
                                    "release.sh still running 15 s after TERM")
                    # The signer is stopped too: its connection ends.
                    connection.settimeout(10)
                    while connection.recv(4096):
                        pass
            finally:
                stopped_within(release, 0)
        self.assertEqual(release.returncode, 128 + signal.SIGTERM)
        self.assert_left_unsigned(exe)

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

        unsigned_copy = self.path("unsigned-for-check.exe")
        write(unsigned_copy, self.unsigned)
        # Signed with a certificate that the intermediate issued, without the intermediate.
        without_intermediate = self.path("without-intermediate.exe")
        subprocess.run(["osslsigncode", "sign", "-pkcs12", self.p12["leaf alone"],
                        "-readpass", self.password_file, "-h", "sha256",
                        "-in", unsigned_copy, "-out", without_intermediate],
                       check=True, capture_output=True)

        not_verified = "does not verify against"
        cases = [
            ("script byte", flipped(self.signed, script_offset + 100), self.ca, not_verified),
            ("certificate table byte",
             flipped(self.signed, table.VirtualAddress + table.Size - 100), self.ca,
             not_verified),
            ("bytes after the signature", self.signed + b"\0" * 8, self.ca, not_verified),
            ("signed from another build", read(other_signed), self.ca,
             "beyond its signature"),
            ("intermediate only in the CA file", read(without_intermediate),
             self.ca_and_intermediate, "unable to get local issuer certificate"),
            ("CA file without a root", self.signed, self.intermediate,
             "holds no root (self-signed) certificate"),
        ]
        for name, data, ca, message in cases:
            with self.subTest(name):
                candidate = self.path("candidate.exe")
                write(candidate, data)
                result = run([CHECK, candidate, unsigned_copy, ca])
                self.assertNotEqual(result.returncode, 0)
                self.assertIn(message, last_line(result.stderr))


if __name__ == "__main__":
    unittest.main()
