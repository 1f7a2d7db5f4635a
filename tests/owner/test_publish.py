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

    def test_each_publish_changes_the_validator_and_leaves_folder_modes_alone(self):
        os.chmod(self.www, 0o750)
        other = os.path.join(self.folder, "Other.exe")  # the same size: the document's size does not change
        with open(other, "wb") as f:
            f.write(b"X" * os.path.getsize(self.installer))
        stamps = []
        for installer in (self.installer, other, self.installer):
            publish(installer, "http://dl.example.com", self.www)
            stamps.append(int(os.stat(os.path.join(self.www, DOCUMENT)).st_mtime))  # nginx's ETag: seconds, size
        self.assertEqual(len(set(stamps)), 3)
        self.assertEqual(os.stat(self.www).st_mode & 0o777, 0o750)
        self.assertEqual(os.stat(os.path.join(self.www, "files")).st_mode & 0o777, 0o755)

    def test_bad_input_is_refused_and_changes_nothing(self):
        publish(self.installer, "http://dl.example.com", self.www)
        before = tree(self.www)
        empty = os.path.join(self.folder, "empty.exe")
        open(empty, "wb").close()
        a_file = os.path.join(self.folder, "TovikSetup.exe")
        other = os.path.join(self.folder, "Other.exe")  # its own files/<sha>/ folder would be new
        with open(other, "wb") as f:
            f.write(b"other")
        blocked = os.path.join(self.folder, "blocked")  # where the document's folder would go, a file
        os.makedirs(os.path.join(blocked, "files"))
        open(os.path.join(blocked, "downloader"), "w").close()
        before_blocked = tree(blocked)
        size = 1048576
        cases = [
            ("missing installer", os.path.join(self.folder, "missing.exe"), "http://h", self.www, size, "no installer"),
            ("empty installer", empty, "http://h", self.www, size, "is empty"),
            ("ftp", self.installer, "ftp://h/x", self.www, size, "http:// or https://"),
            ("no host", self.installer, "http://", self.www, size, "http:// or https://"),
            ("an ampersand", self.installer, "http://h/a&b", self.www, size, "cannot carry"),
            ("package size 1", self.installer, "http://h", self.www, 1, "from 65536"),
            ("package size 2 GiB", self.installer, "http://h", self.www, 2 << 30, "from 65536"),
            ("negative package size", self.installer, "http://h", self.www, -5, "from 65536"),
            ("not a folder", self.installer, "http://h", a_file, size, "not a folder"),
            ("not writable", other, "http://h", "/proc/self", size, "not writable"),
            ("a file where a folder goes", other, "http://h", blocked, size, "in the way"),
        ]
        for name, installer, base, www, package, message in cases:
            with self.subTest(name):
                with self.assertRaises(PublishError) as raised:
                    publish(installer, base, www, package)
                self.assertIn(message, str(raised.exception))
                self.assertEqual(tree(self.www), before)
                self.assertEqual(tree(blocked), before_blocked)
        command = subprocess.run([os.path.join(TOOLS, "publish-installer"), empty, "http://h", self.www],
                                 capture_output=True, text=True)
        self.assertEqual(command.returncode, 1)
        self.assertEqual(command.stderr.count("\n"), 1)
        self.assertTrue(command.stderr.startswith("publish-installer: "))


if __name__ == "__main__":
    unittest.main()
