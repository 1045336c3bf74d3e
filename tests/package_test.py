"""The zip for Windows users: its file list, the readme as Notepad opens it,
and the .exe inside it as the 32-bit console program with the project's
version in its version resource.

    python3 package_test.py build-win32/morvo2tessiva-VERSION-win32.zip
"""
import os
import re
import struct
import sys
import unittest
import zipfile

ZIP = None
ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(morvo2tessiva VERSION (\d+\.\d+\.\d+)", f.read()).group(1)


def pe_header(exe):
    """Machine, optional-header magic and subsystem of a PE file."""
    (pe_offset,) = struct.unpack_from("<I", exe, 0x3C)
    assert exe[:2] == b"MZ" and exe[pe_offset:pe_offset + 4] == b"PE\0\0"
    (machine,) = struct.unpack_from("<H", exe, pe_offset + 4)
    optional = pe_offset + 24
    (magic,) = struct.unpack_from("<H", exe, optional)
    (subsystem,) = struct.unpack_from("<H", exe, optional + 68)
    return machine, magic, subsystem


def fixed_file_version(exe):
    """The file version of the VS_FIXEDFILEINFO that follows the key VS_VERSION_INFO."""
    key = "VS_VERSION_INFO\0".encode("utf-16-le")
    at = exe.index(key) + len(key)
    at += -at % 4  # the value is aligned to 32 bits
    signature, _, most, least = struct.unpack_from("<IIII", exe, at)
    assert signature == 0xFEEF04BD
    return f"{most >> 16}.{most & 0xFFFF}.{least >> 16}"


class Package(unittest.TestCase):
    def test_zip_holds_the_program_and_the_readme(self):
        version = project_version()
        self.assertEqual(os.path.basename(ZIP), f"morvo2tessiva-{version}-win32.zip")
        with zipfile.ZipFile(ZIP) as archive:
            self.assertEqual(sorted(archive.namelist()), ["morvo2tessiva.exe", "readme.txt"])
            exe = archive.read("morvo2tessiva.exe")
            readme = archive.read("readme.txt")
        self.assertEqual(pe_header(exe), (0x14C, 0x10B, 3), "i386, PE32, console subsystem")
        self.assertEqual(fixed_file_version(exe), version)
        # No manifest asks for an execution level: it writes where a 32-bit reader reads.
        self.assertNotIn(b"requestedExecutionLevel", exe)
        for name, value in (("ProductVersion", version), ("FileDescription", "Morvo->Tessiva Log Converter")):
            self.assertIn((name + "\0").encode("utf-16-le"), exe)
            self.assertIn((value + "\0").encode("utf-16-le"), exe)
        with open(os.path.join(ROOT, "packaging", "readme.txt"), "rb") as f:
            self.assertEqual(readme, f.read())
        # UTF-8 with a BOM and CR LF line ends: every Notepad opens it right.
        self.assertTrue(readme.startswith(b"\xef\xbb\xbf"))
        self.assertNotRegex(readme, rb"(?<!\r)\n")
        text = readme.decode("utf-8")
        for needed in ("morvo2tessiva.exe", "変換中:", "を移行しました", "一切変更しません", "何度実行しても"):
            self.assertIn(needed, text)


if __name__ == "__main__":
    ZIP = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=1)
