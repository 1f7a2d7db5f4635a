"""publish-installer: the document's bytes, atomic replacement, refusals that change nothing."""

import hashlib
import os
import subprocess
import sys
import tempfile
import threading
import unittest


def read(path, mode="r"):
    with open(path, mode) as f:
        return f.read()

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools")
sys.path.insert(0, TOOLS)
from owner.publish import PublishError, publish  # noqa: E402

DOCUMENT = "downloader/installer-metadata/windows"


def tree(folder):
    """Every file under folder with its bytes."""
    found = {}
    for root, _, files in os.walk(folder):
        for name in files:
            with open(os.path.join(root, name), "rb") as f:
                found[os.path.relpath(os.path.join(root, name), folder)] = f.read()
    return found


class Publish(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp()
        self.www = os.path.join(self.folder, "www")
        os.mkdir(self.www)
        self.installer = os.path.join(self.folder, "TovikSetup.exe")
        with open(self.installer, "wb") as f:
            f.write(b"MZ" + bytes(range(256)) * 40)

    def tearDown(self):
        subprocess.run(["rm", "-rf", self.folder], check=True)

    def test_document_bytes_and_the_copy(self):
        sha = hashlib.sha256(read(self.installer, "rb")).hexdigest()
        url, changed = publish(self.installer, "http://dl.example.com/", self.www, 1048576)
        self.assertTrue(changed)
        self.assertEqual(url, f"http://dl.example.com/files/{sha}/TovikSetup.exe")
        with open(os.path.join(self.www, DOCUMENT), "rb") as f:
            self.assertEqual(f.read(), (
                '<?xml version="1.0" encoding="UTF-8"?>\n<installerMetadata>\n'
                f"  <downloadUrl>{url}</downloadUrl>\n  <size>10242</size>\n  <hash>{sha}</hash>\n"
                "  <suggestedPackageSize>1048576</suggestedPackageSize>\n</installerMetadata>\n").encode())
        self.assertEqual(tree(self.www)[f"files/{sha}/TovikSetup.exe"], read(self.installer, "rb"))
        # Again: nothing to do, and it says so.
        self.assertEqual(publish(self.installer, "http://dl.example.com/", self.www, 1048576), (url, False))
        command = subprocess.run([os.path.join(TOOLS, "publish-installer"), self.installer, "http://dl.example.com/",
                                  self.www, "--package-size", "1048576"], capture_output=True, text=True)
        self.assertEqual((command.returncode, command.stdout), (0, f"already published, nothing changed: {url}\n"))

    def test_a_reader_never_sees_a_partial_document(self):
        other = os.path.join(self.folder, "Other.exe")
        with open(other, "wb") as f:
            f.write(b"other installer" * 1000)
        publish(self.installer, "http://dl.example.com", self.www)
        seen, stop = set(), threading.Event()

        def read():
            while not stop.is_set():
                with open(os.path.join(self.www, DOCUMENT), "rb") as f:
                    seen.add(f.read())

        reader = threading.Thread(target=read)
        reader.start()
        for n in range(200):
            publish(other if n % 2 == 0 else self.installer, "http://dl.example.com", self.www)
        stop.set()
        reader.join()
        self.assertEqual(len(seen), 2)
        self.assertTrue(all(text.endswith(b"</installerMetadata>\n") for text in seen))

    def test_bad_input_is_refused_and_changes_nothing(self):
        publish(self.installer, "http://dl.example.com", self.www)
        before = tree(self.www)
        empty = os.path.join(self.folder, "empty.exe")
        open(empty, "wb").close()
        a_file = os.path.join(self.folder, "TovikSetup.exe")
        cases = [
            ("missing installer", os.path.join(self.folder, "missing.exe"), "http://h", self.www, 1, "no installer"),
            ("empty installer", empty, "http://h", self.www, 1, "is empty"),
            ("https", self.installer, "https://h", self.www, 1, "plain http://"),
            ("ftp", self.installer, "ftp://h/x", self.www, 1, "plain http://"),
            ("no host", self.installer, "http://", self.www, 1, "plain http://"),
            ("an ampersand", self.installer, "http://h/a&b", self.www, 1, "cannot carry"),
            ("package size 0", self.installer, "http://h", self.www, 0, "above 0"),
            ("negative package size", self.installer, "http://h", self.www, -5, "above 0"),
            ("not a folder", self.installer, "http://h", a_file, 1, "not a folder"),
            ("not writable", self.installer, "http://h", "/proc/self", 1, "not writable"),
        ]
        for name, installer, base, www, package, message in cases:
            with self.subTest(name):
                with self.assertRaises(PublishError) as raised:
                    publish(installer, base, www, package)
                self.assertIn(message, str(raised.exception))
                self.assertEqual(tree(self.www), before)
        command = subprocess.run([os.path.join(TOOLS, "publish-installer"), empty, "http://h", self.www],
                                 capture_output=True, text=True)
        self.assertEqual(command.returncode, 1)
        self.assertEqual(command.stderr.count("\n"), 1)
        self.assertTrue(command.stderr.startswith("publish-installer: "))


if __name__ == "__main__":
    unittest.main()
