"""Checks of the built executable's image, imports and resources (pefile)."""

import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree
import zlib

import pefile

import harness
from harness import read_bytes

RT_ICON, RT_RCDATA, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 10, 14, 16, 24
ICON_SIZES = [256, 128, 64, 48, 32, 24, 16]
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll"}


def resource_table(pe):
    """{(type, name, language): bytes} for every resource."""
    table = {}
    for type_entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name_entry in type_entry.directory.entries:
            for language in name_entry.directory.entries:
                data = language.data.struct
                table[(type_entry.id, name_entry.id, language.id)] = \
                    pe.get_data(data.OffsetToData, data.Size)
    return table


def image_size_without_resources(pe):
    """The image as a build without resources would have it: the headers plus the
    raw size of every section but .rsrc. (The file length less .rsrc's raw size
    would also count the padding after .rsrc, which moves with the script's
    length.)"""
    return pe.OPTIONAL_HEADER.SizeOfHeaders + sum(
        section.SizeOfRawData for section in pe.sections
        if section.Name.rstrip(b"\0") != b".rsrc")


def build_with_longer_script(folder, extra):
    """The executable that the release preset builds from a copy of this tree
    whose setup script ends with a comment line of `extra` more bytes (added to
    its last part)."""
    source = os.path.join(folder, "source")
    shutil.copytree(harness.ROOT, source, ignore=lambda where, names: [
        name for name in names
        if where == harness.ROOT and name in ("build", "dist", ".git")])
    with open(os.path.join(source, "setup-script", "MainSequence.ps1"),
              "ab") as script:
        script.write(b"#" + b"-" * (extra - 2) + b"\n")
    for command in (["cmake", "--preset", "mingw"],
                    ["cmake", "--build", "--preset", "mingw"]):
        subprocess.run(command, cwd=source, check=True, stdout=subprocess.DEVNULL)
    return read_bytes(os.path.join(source, "build", "mingw", harness.EXE_NAME))


def png_pixels(png):
    """(width, height, raw scanlines) of a PNG made of one IDAT."""
    assert png[:8] == b"\x89PNG\r\n\x1a\n"
    offset, width, height, idat = 8, None, None, b""
    while offset < len(png):
        length, kind = struct.unpack(">I4s", png[offset:offset + 8])
        body = png[offset + 8:offset + 8 + length]
        if kind == b"IHDR":
            width, height = struct.unpack(">II", body[:8])
        elif kind == b"IDAT":
            idat += body
        offset += 12 + length
    return width, height, zlib.decompress(idat)


def icon_images(ico):
    count = struct.unpack_from("<H", ico, 4)[0]
    images = []
    for index in range(count):
        entry = struct.unpack_from("<BBBBHHII", ico, 6 + 16 * index)
        images.append((entry, ico[entry[7]:entry[7] + entry[6]]))
    return images


class ExecutableImage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.data = read_bytes(harness.DIST_EXE)
        cls.pe = pefile.PE(data=cls.data)
        cls.resources = resource_table(cls.pe)

    def test_image_without_resources_stays_small(self):
        # Everything but the resource section: code, data, imports, unwind
        # data and the runtime's start-up code.
        size = image_size_without_resources(self.pe)
        print("launcher image without resources: %d bytes" % size)
        self.assertLessEqual(size, 25600, "%d bytes" % size)
        # Unwind data is kept: 64-bit Windows needs it to walk the stack.
        self.assertGreater(self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[3].Size, 0)
        # The figure is the launcher's alone: a longer script leaves it as it is.
        extra = 300
        with tempfile.TemporaryDirectory() as folder:
            longer = pefile.PE(data=build_with_longer_script(folder, extra))
        self.assertEqual(len(resource_table(longer)[(RT_RCDATA, 101, 1033)]),
                         len(read_bytes(harness.SCRIPT)) + extra)
        self.assertEqual(image_size_without_resources(longer), size)

    def test_machine_subsystem_and_time_stamp(self):
        header = self.pe.FILE_HEADER
        optional = self.pe.OPTIONAL_HEADER
        self.assertEqual(header.Machine, 0x8664)
        self.assertEqual(optional.Magic, 0x20B)  # PE32+
        self.assertEqual(optional.Subsystem, 2)  # Windows GUI
        self.assertEqual((optional.MajorSubsystemVersion,
                          optional.MinorSubsystemVersion), (6, 0))
        self.assertTrue(header.Characteristics & 0x0002,
                        "IMAGE_FILE_EXECUTABLE_IMAGE expected")
        self.assertTrue(header.Characteristics & 0x0020,
                        "IMAGE_FILE_LARGE_ADDRESS_AWARE expected")
        self.assertEqual(header.TimeDateStamp, 0)

    def test_dll_characteristics(self):
        flags = self.pe.OPTIONAL_HEADER.DllCharacteristics
        for name, bit in (("HIGH_ENTROPY_VA", 0x0020), ("DYNAMIC_BASE", 0x0040),
                          ("NX_COMPAT", 0x0100),
                          ("TERMINAL_SERVER_AWARE", 0x8000)):
            self.assertTrue(flags & bit, "DllCharacteristics lacks " + name)
        self.assertTrue(self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[5].Size > 0,
                        "relocations are needed for ASLR")

    def test_imports_only_windows_system_dlls(self):
        imports = {entry.dll.decode().lower():
                   {symbol.name.decode() for symbol in entry.imports
                    if symbol.name}
                   for entry in self.pe.DIRECTORY_ENTRY_IMPORT}
        self.assertLessEqual(set(imports), SYSTEM_DLLS)
        self.assertIn("SetDefaultDllDirectories", imports["kernel32.dll"])
        self.assertIn("MessageBoxW", imports["user32.dll"])
        self.assertIn("GetKernelObjectSecurity", imports["advapi32.dll"])
        # Set-aside and fallback names come from the system's generator.
        self.assertIn("SystemFunction036", imports["advapi32.dll"])
        self.assertIn("MoveFileExW", imports["kernel32.dll"])
        # Folders that are not safe are set aside, never re-permissioned:
        # nothing that changes security or enables privileges is imported.
        everything = set().union(*imports.values())
        for name in ("SHCreateDirectoryExW", "SetKernelObjectSecurity",
                     "SetFileSecurityW", "SetSecurityInfo",
                     "SetNamedSecurityInfoW", "AdjustTokenPrivileges"):
            self.assertNotIn(name, everything)

    def test_no_build_paths_in_the_image(self):
        for text in (harness.ROOT, "/build/mingw", "/usr/src", "/tmp/"):
            self.assertNotIn(text.encode(), self.data, text)
            self.assertNotIn(text.encode("utf-16-le"), self.data, text)

    def test_every_resource_with_type_name_and_language(self):
        expected = {(RT_ICON, index, 1033) for index in range(1, 8)}
        expected |= {(RT_RCDATA, 101, 1033), (RT_GROUP_ICON, 1, 1033),
                     (RT_VERSION, 1, 1033), (RT_MANIFEST, 1, 1033)}
        self.assertEqual(set(self.resources), expected)

    def test_script_resource_is_the_script_file_byte_for_byte(self):
        script = read_bytes(harness.SCRIPT)
        self.assertEqual(self.resources[(RT_RCDATA, 101, 1033)], script)
        self.assertEqual(script[:3], b"\xef\xbb\xbf")
        self.assertNotIn(b"\r\n", script)
        self.assertTrue(script.endswith(b"\n"), "the script ends with LF")

    def test_icon_group_has_seven_images_in_order(self):
        group = self.resources[(RT_GROUP_ICON, 1, 1033)]
        reserved, kind, count = struct.unpack_from("<HHH", group, 0)
        self.assertEqual((reserved, kind, count), (0, 1, 7))
        for index in range(count):
            width, height, colours, _, planes, bits, size, image_id = \
                struct.unpack_from("<BBBBHHIH", group, 6 + 14 * index)
            expected = ICON_SIZES[index]
            self.assertEqual((width or 256, height or 256), (expected, expected))
            self.assertEqual((colours, planes, bits), (0, 1, 32))
            self.assertEqual(image_id, index + 1)
            image = self.resources[(RT_ICON, image_id, 1033)]
            self.assertEqual(size, len(image))
            if expected == 256:
                self.assertEqual(image[:8], b"\x89PNG\r\n\x1a\n")
                self.assertEqual(struct.unpack(">II", image[16:24]), (256, 256))
                self.assertEqual(image[24:26], b"\x08\x06")  # 8-bit RGBA
            else:
                header = struct.unpack_from("<IiiHH", image, 0)
                self.assertEqual(header, (40, expected, 2 * expected, 1, 32))

    def test_icon_resources_are_the_committed_icon(self):
        committed = icon_images(read_bytes(harness.ICON))
        for index, (_, image) in enumerate(committed):
            self.assertEqual(self.resources[(RT_ICON, index + 1, 1033)], image)

    def test_version_block(self):
        # The version is CMake's project(VERSION), major.minor.patch.0.
        major, minor, patch = (int(part) for part in harness.VERSION.split("."))
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS),
                         (major << 16 | minor, patch << 16))
        self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS),
                         (major << 16 | minor, patch << 16))
        self.assertEqual(fixed.FileFlagsMask, 0x3F)
        self.assertEqual(fixed.FileFlags, 0)
        self.assertEqual(fixed.FileOS, 0x40004)
        self.assertEqual(fixed.FileType, 1)
        self.assertEqual(fixed.FileSubtype, 0)

        tables = {}
        translations = []
        for info in self.pe.FileInfo[0]:
            if info.Key == b"StringFileInfo":
                for table in info.StringTable:
                    tables[table.LangID] = {key.decode(): value.decode()
                                            for key, value in table.entries.items()}
            elif info.Key == b"VarFileInfo":
                for var in info.Var:
                    translations.extend(var.entry.values())
        self.assertEqual(list(tables), [b"040904B0"])
        strings = tables[b"040904B0"]
        copyright_text = strings.pop("LegalCopyright")
        self.assertIn("ORVELLE", copyright_text)
        self.assertEqual(strings, {
            "CompanyName": "ORVELLE",
            "FileDescription": "ORVELLE Game Support",
            "FileVersion": harness.VERSION,
            "InternalName": "ORVELLEGameSupport",
            "OriginalFilename": harness.EXE_NAME,
            "ProductName": "ORVELLE GAME SUPPORT",
            "ProductVersion": harness.VERSION,
        })
        self.assertEqual(translations, ["0x0409 0x04b0"])

    def test_manifest(self):
        text = self.resources[(RT_MANIFEST, 1, 1033)]
        declaration = b'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'
        self.assertEqual(text[:len(declaration)], declaration)
        root = ElementTree.fromstring(text)
        v1 = "{urn:schemas-microsoft-com:asm.v1}"
        v3 = "{urn:schemas-microsoft-com:asm.v3}"
        compat = "{urn:schemas-microsoft-com:compatibility.v1}"
        identity = root.find(v1 + "assemblyIdentity")
        self.assertEqual(identity.attrib, {
            "version": harness.VERSION + ".0", "processorArchitecture": "amd64",
            "name": "ORVELLE.GameSupport", "type": "win32"})
        self.assertEqual(root.find(v1 + "description").text,
                         "ORVELLE Game Support")
        level = root.find("%strustInfo/%ssecurity/%srequestedPrivileges/"
                          "%srequestedExecutionLevel" % (v3, v3, v3, v3))
        self.assertEqual(level.attrib, {"level": "requireAdministrator",
                                        "uiAccess": "false"})
        supported = [element.attrib["Id"] for element in
                     root.findall("%scompatibility/%sapplication/%ssupportedOS"
                                  % (compat, compat, compat))]
        self.assertEqual(supported, [
            "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
            "{4f476546-9374-4f4f-a276-56cc6b990d3d}",
            "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
            "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
            "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"])
        settings = root.find("%sapplication/%swindowsSettings" % (v3, v3))
        dpi = settings.find(
            "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}dpiAware")
        long_paths = settings.find(
            "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"
            "longPathAware")
        self.assertEqual(dpi.text, "true/pm")
        self.assertEqual(long_paths.text, "true")

    def test_sha256sums_lists_the_executable(self):
        sums = read_bytes(os.path.join(harness.ROOT, "dist", "SHA256SUMS"))
        self.assertEqual(sums.decode(), "%s  %s\n" % (
            hashlib.sha256(self.data).hexdigest(), harness.EXE_NAME))


class DetectionScript(unittest.TestCase):
    """The detection script in dist/ is the setup script, byte for byte, but for
    its last call: it checks with the setup's own functions."""

    def test_differs_from_the_setup_script_only_in_the_call_it_ends_with(self):
        setup = read_bytes(harness.SCRIPT).split(b"\n")
        detection = read_bytes(harness.DIST_DETECTION).split(b"\n")
        self.assertEqual(len(detection), len(setup))
        changed = [i for i, (a, b) in enumerate(zip(setup, detection)) if a != b]
        self.assertEqual(len(changed), 1, changed)
        self.assertEqual(detection[changed[0]].strip(),
                         b"exit (Invoke-PrerequisiteDetection)")
        self.assertTrue(setup[changed[0]].strip().startswith(
            b"exit (Invoke-SetupSequence "))
        self.assertEqual(detection[0][:3], b"\xef\xbb\xbf")


class SharedWithTheScript(unittest.TestCase):
    """The version and the folder names are set once, in the setup script; the
    launcher built from this tree must carry the very values of the script it
    embeds."""

    @classmethod
    def setUpClass(cls):
        pe = pefile.PE(harness.DIST_EXE)
        cls.image = pe.get_memory_mapped_image()
        embedded = resource_table(pe)[(RT_RCDATA, 101, 1033)]
        cls.values = dict(re.findall(r"^\$script:(\w+) = '([^']*)'\r?$",
                                     embedded.decode("utf-8-sig"), re.MULTILINE))

    def test_version_is_the_embedded_script_version(self):
        self.assertEqual(self.values["ToolVersion"], harness.VERSION)

    def test_launcher_secures_the_folders_the_script_writes_to(self):
        product_path = "\\%s\\%s" % (self.values["VendorFolderName"],
                                       self.values["ProductFolderName"])
        self.assertIn(product_path.encode("utf-16-le"), self.image)

    def test_launcher_sets_folders_aside_with_the_script_mark(self):
        mark = self.values["SetAsideMark"]
        self.assertIn(("%s" + mark).encode("utf-16-le"), self.image)


class VariantWithoutScript(unittest.TestCase):
    def test_same_resources_less_the_script(self):
        table = resource_table(pefile.PE(harness.NO_SCRIPT_EXE))
        self.assertNotIn((RT_RCDATA, 101, 1033), table)
        self.assertIn((RT_MANIFEST, 1, 1033), table)
        self.assertEqual(len(table), 10)


class Icon(unittest.TestCase):
    def test_generator_reproduces_the_committed_icon(self):
        with tempfile.TemporaryDirectory() as folder:
            output = os.path.join(folder, "icon.ico")
            subprocess.run([sys.executable, harness.ICON_GENERATOR, output],
                           check=True)
            fresh = icon_images(read_bytes(output))
        committed = icon_images(read_bytes(harness.ICON))
        self.assertEqual([entry for entry, _ in fresh][1:],
                         [entry for entry, _ in committed][1:])
        # The PNG is compared by its pixels: its compressed bytes may differ
        # between zlib versions.
        self.assertEqual(png_pixels(fresh[0][1]), png_pixels(committed[0][1]))
        for (_, a), (_, b) in zip(fresh[1:], committed[1:]):
            self.assertEqual(a, b)

    def test_icon_is_a_drawn_mark_on_a_transparent_rounded_square(self):
        width, height, raw = png_pixels(icon_images(read_bytes(harness.ICON))[0][1])
        stride = 1 + 4 * width
        pixel = lambda x, y: raw[y * stride + 1 + 4 * x:y * stride + 5 + 4 * x]
        self.assertEqual(pixel(0, 0)[3], 0)  # rounded corner: transparent
        self.assertEqual(pixel(width // 2, 20)[3], 255)  # background opaque
        self.assertEqual(pixel(width // 2, height // 2 - 80), b"\xff\xff\xff\xff")
        colours = {pixel(x, y) for y in range(0, height, 4)
                   for x in range(0, width, 4)}
        self.assertGreater(len(colours), 100)


if __name__ == "__main__":
    unittest.main()
