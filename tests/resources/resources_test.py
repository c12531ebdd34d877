#!/usr/bin/python3
"""Reads the cross-built Dravik.exe back on the build host: its headers and imports, and every
resource the dialogs, the About box, the shell and Windows itself rely on; and dravik-cli.exe,
built beside it, as a console program with its own manifest and version block. The dialog
templates and the About item's string are compared with the C++ table the Qt view is laid out
from, as the program resources-expected prints it.

usage: resources_test.py EXE EXPECTED VERSION COMPANY
  EXE       the built Dravik.exe; without one the test is skipped (exit status 77)
  EXPECTED  the resources-expected program
  VERSION   the project's version (1.0.0.1), which the version blocks must carry
  COMPANY   the package's maintainer, the version blocks' CompanyName
"""

import json
import os
import struct
import subprocess
import sys
import unittest
import xml.etree.ElementTree as ElementTree

import pefile

SKIPPED = 77

RT_ICON, RT_DIALOG, RT_STRING, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 5, 6, 14, 16, 24
LANG_CHINESE_PRC = 0x0804
LANG_ENGLISH_US = 0x0409

WS_VISIBLE = 0x10000000
WS_TABSTOP = 0x00010000
DS_SETFONT = 0x0040
BS_TYPEMASK = 0x000F
BS_DEFPUSHBUTTON = 0x0001
SS_TYPEMASK = 0x001F
SS_NOPREFIX = 0x0080
IDOK, IDCANCEL = 1, 2
BUTTON, STATIC = 0x0080, 0x0082

IDD_ABOUTBOX, IDD_MAIN = 100, 102
IDR_MAINFRAME = 128

ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"
# Windows 7, 8, 8.1 and 10/11.
SUPPORTED_OS = ["{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"]


def manifest_of(pe):
    """The parsed manifest of a program: its one RT_MANIFEST resource, number 1."""
    (kind,) = [k for k in pe.DIRECTORY_ENTRY_RESOURCE.entries if k.id == RT_MANIFEST]
    (name,) = kind.directory.entries
    (language,) = name.directory.entries
    if name.id != 1:
        raise ValueError(f"manifest resource {name.id}, not CREATEPROCESS_MANIFEST_RESOURCE_ID")
    entry = language.data.struct
    return ElementTree.fromstring(pe.get_data(entry.OffsetToData, entry.Size))


def string_or_ordinal(data, at):
    """A template's sz_Or_Ord field at `at`: None, an ordinal or a text; and where it ends."""
    (first,) = struct.unpack_from("<H", data, at)
    if first == 0x0000:
        return None, at + 2
    if first == 0xFFFF:
        return struct.unpack_from("<H", data, at + 2)[0], at + 4
    end = at
    while struct.unpack_from("<H", data, end)[0] != 0:
        end += 2
    return data[at:end].decode("utf-16-le"), end + 2


def parse_dialog_ex(data):
    """An extended dialog template (DLGTEMPLATEEX and its DLGITEMTEMPLATEEX items)."""
    version, signature, _, ex_style, style, count, x, y, cx, cy = struct.unpack_from(
        "<HHIIIHhhhh", data, 0)
    if (version, signature) != (1, 0xFFFF):
        raise ValueError("not an extended dialog template")
    dialog = {"exStyle": ex_style, "style": style, "rect": [x, y, cx, cy], "controls": []}
    dialog["menu"], at = string_or_ordinal(data, 26)
    dialog["class"], at = string_or_ordinal(data, at)
    dialog["caption"], at = string_or_ordinal(data, at)
    if style & DS_SETFONT:
        size, weight, italic, _ = struct.unpack_from("<HHBB", data, at)
        dialog.update(pointSize=size, weight=weight, italic=italic)
        dialog["typeface"], at = string_or_ordinal(data, at + 6)
    for _ in range(count):
        at = (at + 3) & ~3
        _, ex_style, style, x, y, cx, cy, control_id = struct.unpack_from(
            "<IIIhhhhi", data, at)
        control = {"id": control_id, "exStyle": ex_style, "style": style, "rect": [x, y, cx, cy]}
        control["class"], at = string_or_ordinal(data, at + 24)
        control["text"], at = string_or_ordinal(data, at)
        (extra,) = struct.unpack_from("<H", data, at)
        at += 2 + extra
        dialog["controls"].append(control)
    return dialog


class DravikExe(unittest.TestCase):
    exe = expected_program = version = company = None

    @classmethod
    def setUpClass(cls):
        with open(cls.exe, "rb") as file:
            cls.file = file.read()
        cls.pe = pefile.PE(data=cls.file)
        cls.expected = json.loads(subprocess.run(
            [cls.expected_program], check=True, capture_output=True).stdout)
        # (type, name, language, data) of every resource, in directory order.
        cls.resources = []
        for kind in cls.pe.DIRECTORY_ENTRY_RESOURCE.entries:
            for name in kind.directory.entries:
                for language in name.directory.entries:
                    entry = language.data.struct
                    cls.resources.append((
                        kind.id if kind.name is None else str(kind.name),
                        name.id if name.name is None else str(name.name), language.id,
                        cls.pe.get_data(entry.OffsetToData, entry.Size)))

    def single(self, kind, name):
        """The data of the one resource of `kind` and `name`."""
        found = [r for r in self.resources if r[:2] == (kind, name)]
        self.assertEqual(len(found), 1, f"resource type {kind} name {name}")
        return found[0]

    def dialog(self, name):
        return parse_dialog_ex(self.single(RT_DIALOG, name)[3])

    def table(self, name):
        return next(d for d in self.expected["dialogs"] if d["id"] == name)

    def test_is_a_32_bit_windows_gui_program(self):
        self.assertEqual(self.pe.FILE_HEADER.Machine, 0x014C)
        self.assertEqual(self.pe.OPTIONAL_HEADER.Magic, 0x010B)
        self.assertEqual(self.pe.OPTIONAL_HEADER.Subsystem, 2)
        executable_image, machine_32_bit = 0x0002, 0x0100
        self.assertTrue(self.pe.FILE_HEADER.Characteristics & executable_image)
        self.assertTrue(self.pe.FILE_HEADER.Characteristics & machine_32_bit)

    def test_imports_only_dlls_that_ship_with_windows(self):
        # The MinGW runtime (libgcc, libstdc++, winpthread) must be linked in, not imported.
        shipped = {"kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "advapi32.dll",
                   "msvcrt.dll", "shell32.dll", "ole32.dll", "oleaut32.dll", "shlwapi.dll",
                   "uxtheme.dll", "comdlg32.dll", "version.dll", "ntdll.dll"}
        functions = {}
        for dll in self.pe.DIRECTORY_ENTRY_IMPORT:
            name = dll.dll.decode().lower()
            self.assertIn(name, shipped, "does not ship with Windows")
            functions.setdefault(name, set()).update(
                i.name.decode() for i in dll.imports if i.name is not None)
        self.assertFalse(getattr(self.pe, "DIRECTORY_ENTRY_DELAY_IMPORT", []), "delay-loaded")
        # Wide entry points throughout, and the common controls actually bound, so that the
        # manifest's version 6 is loaded.
        for dll, function in [("user32.dll", "DialogBoxParamW"), ("user32.dll", "MessageBoxW"),
                              ("user32.dll", "AppendMenuW"),
                              ("comctl32.dll", "InitCommonControlsEx"),
                              ("kernel32.dll", "CreateFileW"),
                              ("kernel32.dll", "GetModuleFileNameW"),
                              ("advapi32.dll", "RegEnumValueW")]:
            self.assertIn(function, functions.get(dll, set()), f"{dll} not imported")

    def test_resources_are_stored_under_their_languages(self):
        languages = {RT_ICON: LANG_CHINESE_PRC, RT_GROUP_ICON: LANG_CHINESE_PRC,
                     RT_DIALOG: LANG_CHINESE_PRC, RT_STRING: LANG_CHINESE_PRC,
                     RT_VERSION: LANG_ENGLISH_US, RT_MANIFEST: None}
        for kind, name, language, _ in self.resources:
            with self.subTest(type=kind, name=name):
                self.assertIn(kind, languages, "unexpected resource")
                if languages[kind] is not None:
                    self.assertEqual(language, languages[kind])
        # Each exactly once: no copy under a second language, no second manifest.
        about_block = self.expected["strings"][0]["id"] // 16 + 1
        for kind, name in [(RT_DIALOG, IDD_MAIN), (RT_DIALOG, IDD_ABOUTBOX),
                           (RT_STRING, about_block), (RT_GROUP_ICON, IDR_MAINFRAME),
                           (RT_VERSION, 1), (RT_MANIFEST, 1)]:
            self.single(kind, name)
        count = {kind: sum(r[0] == kind for r in self.resources)
                 for kind in (RT_DIALOG, RT_STRING, RT_GROUP_ICON)}
        self.assertEqual(count, {RT_DIALOG: 2, RT_STRING: 1, RT_GROUP_ICON: 1})

    def test_dialog_templates_are_the_table(self):
        for name in (IDD_MAIN, IDD_ABOUTBOX):
            with self.subTest(dialog=name):
                dialog, table = self.dialog(name), self.table(name)
                for key in ("style", "exStyle", "rect", "caption", "pointSize", "typeface"):
                    self.assertEqual(dialog[key], table[key], key)
                self.assertEqual((dialog["menu"], dialog["class"]), (None, None))
                self.assertEqual((dialog["weight"], dialog["italic"]), (0, 0))
                # In template order, which is the tab order.
                self.assertEqual(len(dialog["controls"]), len(table["controls"]))
                for control, expected in zip(dialog["controls"], table["controls"]):
                    with self.subTest(control=expected["name"]):
                        text = expected["icon"] or expected["text"]
                        self.assertEqual(control["class"], expected["class"])
                        self.assertEqual(control["text"] or "", text)
                        for key in ("id", "rect", "style"):
                            self.assertEqual(control[key], expected[key], key)
                        self.assertEqual(control["exStyle"], 0)

    def test_main_dialog_keys_and_focus(self):
        controls = self.dialog(IDD_MAIN)["controls"]
        # The dialog manager gives the focus to the first tab stop: EXIT.
        first_tab_stop = next(c for c in controls if c["style"] & WS_TABSTOP)
        self.assertEqual(first_tab_stop["id"], IDCANCEL)
        # Enter reaches the default IDOK handling only while no button is the default one, and
        # Esc and the close box need an enabled IDCANCEL.
        for control in controls:
            self.assertNotEqual(control["id"], IDOK)
            if control["class"] == BUTTON:
                self.assertNotEqual(control["style"] & BS_TYPEMASK, BS_DEFPUSHBUTTON)

    def test_status_line_sits_under_the_controls(self):
        dialog = self.dialog(IDD_MAIN)
        status_id = next(c["id"] for c in self.table(IDD_MAIN)["controls"]
                         if c["name"] == "status")
        status = next(c for c in dialog["controls"] if c["id"] == status_id)
        sets = [c["rect"] for c in dialog["controls"] if c["text"] == "SET"]
        exit_top = next(c["rect"][1] for c in dialog["controls"] if c["id"] == IDCANCEL)
        self.assertEqual(status["class"], STATIC)
        self.assertEqual(status["style"] & (WS_TABSTOP | SS_NOPREFIX | SS_TYPEMASK), SS_NOPREFIX,
                         "a plain, unfocusable text that shows '&' as it is")
        self.assertTrue(status["style"] & WS_VISIBLE)
        # Inside the dialog, below every SET button, above EXIT, spanning the four columns.
        x, y, cx, cy = status["rect"]
        self.assertEqual(len(sets), 4)
        self.assertGreaterEqual(x, 0)
        self.assertLessEqual(x + cx, dialog["rect"][2])
        self.assertGreaterEqual(y, max(r[1] + r[3] for r in sets))
        self.assertLessEqual(y + cy, exit_top)
        self.assertLessEqual(x, min(r[0] for r in sets))
        self.assertGreaterEqual(x + cx, max(r[0] + r[2] for r in sets))
        self.assertGreaterEqual(cy, 8, "one line of the 8 point font")

    def test_about_menu_string(self):
        (expected,) = self.expected["strings"]
        block = expected["id"] // 16 + 1
        strings = {}
        for kind in self.pe.DIRECTORY_ENTRY_RESOURCE.entries:
            for name in kind.directory.entries:
                if (kind.id, name.id) == (RT_STRING, block):
                    strings = name.directory.strings
        self.assertEqual(strings, {expected["id"]: expected["text"]})

    def test_icon_holds_16_32_and_48_pixels_at_three_depths(self):
        group = self.single(RT_GROUP_ICON, IDR_MAINFRAME)[3]
        reserved, kind, count = struct.unpack_from("<HHH", group, 0)
        self.assertEqual((reserved, kind), (0, 1))
        self.assertEqual(count, 9)
        sizes_and_depths = set()
        for i in range(count):
            width, height, colors, _, planes, depth, size, image_id = struct.unpack_from(
                "<BBBBHHIH", group, 6 + 14 * i)
            with self.subTest(icon_image=image_id):
                self.assertEqual(width, height)
                self.assertEqual(planes, 1)
                self.assertEqual(colors, 16 if depth == 4 else 0)
                sizes_and_depths.add((width, depth))
                # The image the entry names exists and is what the entry says it is: a DIB,
                # for every Windows version, twice as high for its mask.
                _, _, language, image = self.single(RT_ICON, image_id)
                self.assertEqual(language, LANG_CHINESE_PRC)
                self.assertEqual(len(image), size)
                self.assertFalse(image.startswith(b"\x89PNG"), "a PNG image")
                header, dib_width, dib_height, _, dib_depth = struct.unpack_from(
                    "<IiiHH", image, 0)
                self.assertEqual(header, 40)
                self.assertEqual((dib_width, dib_height // 2, dib_depth), (width, height, depth))
        self.assertEqual(sizes_and_depths,
                         {(px, depth) for px in (16, 32, 48) for depth in (4, 8, 24)})

    def test_version_block(self):
        self.assertEqual(self.pe.VS_VERSIONINFO[0].Key, b"VS_VERSION_INFO")
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        major, minor, patch, tweak = (int(part) for part in self.version.split("."))
        ms, ls = major << 16 | minor, patch << 16 | tweak
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS), (ms, ls))
        self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS), (ms, ls))
        self.assertEqual(fixed.FileType, 1, "VFT_APP")

        (info,) = self.pe.FileInfo
        (strings,) = [i for i in info if i.Key == b"StringFileInfo"]
        (table,) = strings.StringTable
        self.assertEqual(table.LangID, b"040904e4", "English (United States), code page 1252")
        expected = {b"FileVersion": self.version, b"ProductVersion": self.version,
                    b"InternalName": "Dravik.exe", b"OriginalFilename": "Dravik.exe",
                    b"FileDescription": "Z9M4-SET", b"ProductName": "Z9M4-SET",
                    b"CompanyName": self.company}
        self.assertEqual(table.entries, {k: v.encode() for k, v in expected.items()})
        for key, (key_offset, _) in table.entries_offsets.items():
            # wType of the String structure, just before its key: 1 for text.
            self.assertEqual(struct.unpack_from("<H", self.file, key_offset - 2)[0], 1, key)

        (variables,) = [i for i in info if i.Key == b"VarFileInfo"]
        (translation,) = variables.Var
        # One pair: language 0x0409, code page 1252 (0x04E4).
        self.assertEqual(translation.ValueLength, 4)
        self.assertEqual(translation.entry, {b"Translation": "0x0409 0x04e4"})

    def test_manifest_depends_on_common_controls_six_only(self):
        manifest = self.single(RT_MANIFEST, 1)[3]
        self.assertTrue(manifest.startswith(b"<?xml"), manifest)
        namespace = "{urn:schemas-microsoft-com:asm.v1}"
        root = ElementTree.fromstring(manifest)
        self.assertEqual(root.tag, namespace + "assembly")
        dependencies = [d.find(namespace + "assemblyIdentity").attrib
                        for d in root.iter(namespace + "dependentAssembly")]
        self.assertEqual(dependencies, [{
            "type": "win32", "name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
            "processorArchitecture": "x86", "publicKeyToken": "6595b64144ccf1df",
            "language": "*"}])

    def test_operator_texts_are_stored_as_utf16(self):
        # The operator's Chinese texts are wide literals of the dialog logic: the cross compiler
        # must have stored them as the UTF-16 that MessageBoxW and SetWindowTextW take.
        for text in self.expected["wideTexts"]:
            with self.subTest(text=text):
                self.assertIn(text.encode("utf-16-le"), self.file)


class DravikCliExe(unittest.TestCase):
    """dravik-cli.exe, built beside Dravik.exe: a 32-bit console program, as self-contained,
    whose version block names the command line and carries the project's version."""
    exe = version = company = None

    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(cls.exe)

    def test_is_a_32_bit_console_program_importing_only_windows_dlls(self):
        self.assertEqual(self.pe.FILE_HEADER.Machine, 0x014C)
        self.assertEqual(self.pe.OPTIONAL_HEADER.Magic, 0x010B)
        self.assertEqual(self.pe.OPTIONAL_HEADER.Subsystem, 3, "IMAGE_SUBSYSTEM_WINDOWS_CUI")
        imported = {dll.dll.decode().lower() for dll in self.pe.DIRECTORY_ENTRY_IMPORT}
        self.assertLessEqual(imported, {"kernel32.dll", "advapi32.dll", "msvcrt.dll"})

    def test_version_block(self):
        (info,) = self.pe.FileInfo
        (strings,) = [i for i in info if i.Key == b"StringFileInfo"]
        (table,) = strings.StringTable
        for key, value in [(b"FileDescription", "Z9M4-SET command line"),
                           (b"FileVersion", self.version),
                           (b"OriginalFilename", "dravik-cli.exe"),
                           (b"CompanyName", self.company)]:
            self.assertEqual(table.entries.get(key), value.encode(), key)


class DravikDll(unittest.TestCase):
    """dravik.dll, built beside the programs: its version block says what it is and which
    version, as theirs do."""
    dll = version = company = None

    def test_version_block(self):
        pe = pefile.PE(self.dll)
        (fixed,) = pe.VS_FIXEDFILEINFO
        self.assertEqual(fixed.FileType, 2, "VFT_DLL")
        (info,) = pe.FileInfo
        (strings,) = [i for i in info if i.Key == b"StringFileInfo"]
        (table,) = strings.StringTable
        for key, value in [(b"FileDescription", "Z9M4-SET C library"),
                           (b"FileVersion", self.version), (b"ProductName", "Z9M4-SET"),
                           (b"OriginalFilename", "dravik.dll"), (b"CompanyName", self.company)]:
            self.assertEqual(table.entries.get(key), value.encode(), key)


class Manifests(unittest.TestCase):
    """Both programs run as the invoker on every Windows they support: without an execution level
    Windows applies installer detection and redirects writes under Program Files, and without
    the supported-OS entries it treats them as Vista programs. Each windowsSettings entry counts
    only in its own namespace; Windows ignores one in another without a word."""
    programs = {}  # exe path: the windowsSettings expected, {namespaced tag: text}

    def test_as_invoker_on_windows_7_to_11_with_their_own_settings(self):
        for exe, settings in self.programs.items():
            with self.subTest(exe=os.path.basename(exe)):
                root = manifest_of(pefile.PE(exe))
                identity = root.find(ASM_V1 + "assemblyIdentity").attrib
                self.assertEqual(identity["processorArchitecture"], "x86")
                self.assertEqual(identity["version"], DravikExe.version)
                levels = root.findall(f"{ASM_V3}trustInfo/{ASM_V3}security/"
                                      f"{ASM_V3}requestedPrivileges/{ASM_V3}requestedExecutionLevel")
                self.assertEqual([level.attrib for level in levels],
                                 [{"level": "asInvoker", "uiAccess": "false"}])
                supported = root.findall(
                    f"{COMPATIBILITY}compatibility/{COMPATIBILITY}application/"
                    f"{COMPATIBILITY}supportedOS")
                self.assertEqual([entry.get("Id") for entry in supported], SUPPORTED_OS)
                found = {entry.tag: entry.text for entry in root.findall(
                    f"{ASM_V3}application/{ASM_V3}windowsSettings/*")}
                self.assertEqual(found, settings)


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    DravikExe.exe, DravikExe.expected_program, DravikExe.version, DravikExe.company = sys.argv[1:]
    if not os.path.isfile(DravikExe.exe):
        print(f"skipped: {DravikExe.exe or 'no Dravik.exe named'} is not there: build it first "
              "(cmake --preset windows && cmake --build --preset windows), or name another with "
              "-DDRAVIK_WINDOWS_EXE=...")
        sys.exit(SKIPPED)
    DravikCliExe.exe = os.path.join(os.path.dirname(DravikExe.exe), "dravik-cli.exe")
    DravikCliExe.version, DravikCliExe.company = DravikExe.version, DravikExe.company
    DravikDll.dll = os.path.join(os.path.dirname(DravikExe.exe), "dravik.dll")
    DravikDll.version, DravikDll.company = DravikExe.version, DravikExe.company
    Manifests.programs = {
        # Sharp at any system DPI (the dialogs scale with their font).
        DravikExe.exe: {
            "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}dpiAware": "true"},
        # The process's ANSI code page (Windows 10 1903 on).
        DravikCliExe.exe: {
            "{http://schemas.microsoft.com/SMI/2019/WindowsSettings}activeCodePage": "UTF-8"},
    }
    tests = unittest.defaultTestLoader.loadTestsFromTestCase(DravikExe)
    for case in (DravikCliExe, DravikDll, Manifests):
        tests.addTests(unittest.defaultTestLoader.loadTestsFromTestCase(case))
    result = unittest.TextTestRunner(stream=sys.stdout, verbosity=2).run(tests)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
