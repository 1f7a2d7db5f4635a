"""Publishes an installer: a copy under a content-addressed name and the
metadata document that names it, each written atomically."""

import hashlib
import os
import re
import shutil
import tempfile
import urllib.parse

METADATA_PATH = "downloader/installer-metadata/windows"
# Every package opens a new connection: on real networks the package size
# decides the speed (docs/serving.md).
DEFAULT_PACKAGE_SIZE = 4 * 1024 * 1024


class PublishError(Exception):
    """A user's mistake: said in one line, nothing changed."""


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def metadata_document(url, size, sha256, package_size):
    """The document's bytes. The downloader reads each element by plain text
    search, without decoding entities, so the URL stands as it is."""
    return (
        '<?xml version="1.0" encoding="UTF-8"?>\n'
        "<installerMetadata>\n"
        f"  <downloadUrl>{url}</downloadUrl>\n"
        f"  <size>{size}</size>\n"
        f"  <hash>{sha256}</hash>\n"
        f"  <suggestedPackageSize>{package_size}</suggestedPackageSize>\n"
        "</installerMetadata>\n"
    ).encode("ascii")


def write_atomically(path, data=None, source=None):
    """A temporary file in the same folder, renamed over the old one: a reader
    sees the old file or the new one, never a part."""
    folder = os.path.dirname(path)
    os.makedirs(folder, exist_ok=True)
    fd, temporary = tempfile.mkstemp(prefix=".publish-", dir=folder)
    try:
        with os.fdopen(fd, "wb") as out:
            if source is not None:
                with open(source, "rb") as f:
                    shutil.copyfileobj(f, out, 1 << 20)
            else:
                out.write(data)
            out.flush()
            os.fsync(out.fileno())
        os.chmod(temporary, 0o644)  # the web server's workers read it
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def check_inputs(installer, base_url, www_dir, package_size):
    if not os.path.isfile(installer):
        raise PublishError(f"no installer file at {installer}")
    if os.path.getsize(installer) == 0:
        raise PublishError(f"the installer {installer} is empty")
    parsed = urllib.parse.urlsplit(base_url)
    if parsed.scheme != "http" or not parsed.netloc or parsed.query or parsed.fragment:
        raise PublishError(f"BASE_URL must be a plain http:// address, not {base_url!r}")
    # The document carries the URL byte for byte: nothing that XML or a URL would need escaped.
    if not re.fullmatch(r"[A-Za-z0-9._~:/@!$'()*+,;=%-]+", base_url):
        raise PublishError(f"BASE_URL {base_url!r} has characters the metadata document cannot carry")
    if package_size <= 0:
        raise PublishError(f"the package size must be above 0, not {package_size}")
    if not os.path.isdir(www_dir):
        raise PublishError(f"WWW_DIR {www_dir} is not a folder")
    try:  # the mode bits do not tell for every user (root) or file system
        with tempfile.TemporaryFile(dir=www_dir):
            pass
    except OSError as error:
        raise PublishError(f"WWW_DIR {www_dir} is not writable: {error.strerror}") from None


def publish(installer, base_url, www_dir, package_size=DEFAULT_PACKAGE_SIZE):
    """Returns (url, changed): the installer's address and whether anything was written."""
    check_inputs(installer, base_url, www_dir, package_size)
    sha256 = sha256_of(installer)
    name = os.path.basename(installer)
    relative = f"files/{sha256}/{urllib.parse.quote(name)}"
    url = f"{base_url.rstrip('/')}/{relative}"
    document = metadata_document(url, os.path.getsize(installer), sha256, package_size)

    copy = os.path.join(www_dir, "files", sha256, urllib.parse.quote(name))
    metadata = os.path.join(www_dir, *METADATA_PATH.split("/"))
    changed = False
    if not (os.path.isfile(copy) and sha256_of(copy) == sha256):
        write_atomically(copy, source=installer)
        changed = True
    old = None
    if os.path.isfile(metadata):
        with open(metadata, "rb") as f:
            old = f.read()
    if old != document:
        write_atomically(metadata, data=document)
        changed = True
    for folder in (www_dir, os.path.join(www_dir, "files"), os.path.dirname(copy),
                   os.path.join(www_dir, "downloader"), os.path.dirname(metadata)):
        os.chmod(folder, os.stat(folder).st_mode | 0o755)
    return url, changed
