"""Publishes an installer: a copy under a content-addressed name, the
metadata document that names it, and the record of every release published
(releases.json beside the document, which the report reads), each written
atomically."""

import datetime
import hashlib
import json
import os
import re
import shutil
import tempfile
import urllib.parse

METADATA_PATH = "downloader/installer-metadata/windows"
RELEASES_NAME = "releases.json"  # beside the document
# Every package opens a new connection: on real networks the package size
# decides the speed (docs/serving.md).
DEFAULT_PACKAGE_SIZE = 4 * 1024 * 1024
# Below 64 KiB a package costs more in connection set-up than it carries; above
# 1 GiB one failed attempt makes the downloader fetch a gigabyte again.
MIN_PACKAGE_SIZE = 64 * 1024
MAX_PACKAGE_SIZE = 1024 * 1024 * 1024


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


def make_folders(folder):
    """Creates what is missing of folder, readable by the web server; folders
    that exist keep the modes their owner gave them."""
    if os.path.isdir(folder):
        return
    make_folders(os.path.dirname(folder))
    os.mkdir(folder)
    os.chmod(folder, 0o755)


def write_atomically(path, data=None, source=None, newer_than=None):
    """A temporary file in the same folder, renamed over the old one: a reader
    sees the old file or the new one, never a part. newer_than: a modification
    time the new file must pass, so that its validator changes."""
    folder = os.path.dirname(path)
    make_folders(folder)
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
        if newer_than is not None:
            # nginx's ETag is the modification second and the size: two
            # same-size documents within one second would share it.
            stamp = max(os.stat(temporary).st_mtime, int(newer_than) + 1)
            os.utime(temporary, (stamp, stamp))
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
    if parsed.scheme not in ("http", "https") or not parsed.netloc or parsed.query or parsed.fragment:
        raise PublishError(f"BASE_URL must be an http:// or https:// address, not {base_url!r}")
    # The document carries the URL byte for byte: nothing that XML or a URL would need escaped.
    if not re.fullmatch(r"[A-Za-z0-9._~:/@!$'()*+,;=%-]+", base_url):
        raise PublishError(f"BASE_URL {base_url!r} has characters the metadata document cannot carry")
    if not MIN_PACKAGE_SIZE <= package_size <= MAX_PACKAGE_SIZE:
        raise PublishError(f"the package size must be from {MIN_PACKAGE_SIZE} to {MAX_PACKAGE_SIZE} bytes, "
                           f"not {package_size}")
    name = os.path.basename(installer)
    if re.search(r"[\x00-\x1f\x7f]", name) or name.startswith("."):
        raise PublishError(f"the installer's name {name!r} cannot be published (control characters or a leading dot)")
    if not os.path.isdir(www_dir):
        raise PublishError(f"WWW_DIR {www_dir} is not a folder")


def check_writable(folders):
    """Every folder the publish will write, before anything is written: the
    folder itself where it exists, else the nearest one above it that does."""
    for folder in folders:
        existing = folder
        while not os.path.isdir(existing):
            if os.path.lexists(existing):
                raise PublishError(f"{existing} is in the way: it is not a folder")
            existing = os.path.dirname(existing)
        try:  # the mode bits do not tell for every user (root) or file system
            with tempfile.TemporaryFile(dir=existing):
                pass
        except OSError as error:
            raise PublishError(f"{existing} is not writable: {error.strerror}") from None


def publish(installer, base_url, www_dir, package_size=DEFAULT_PACKAGE_SIZE):
    """Returns (url, changed): the installer's address and whether anything was written."""
    check_inputs(installer, base_url, www_dir, package_size)
    sha256 = sha256_of(installer)
    name = os.path.basename(installer)
    # The URL carries the name escaped; the web server decodes it, so the
    # file on disk has the name itself.
    url = f"{base_url.rstrip('/')}/files/{sha256}/{urllib.parse.quote(name)}"
    document = metadata_document(url, os.path.getsize(installer), sha256, package_size)

    copy = os.path.join(www_dir, "files", sha256, name)
    metadata = os.path.join(www_dir, *METADATA_PATH.split("/"))
    check_writable([os.path.dirname(copy), os.path.dirname(metadata)])
    changed = False
    if not (os.path.isfile(copy) and sha256_of(copy) == sha256):
        write_atomically(copy, source=installer)
        changed = True
    old, old_time = None, None
    if os.path.isfile(metadata):
        with open(metadata, "rb") as f:
            old = f.read()
        old_time = os.stat(metadata).st_mtime
    if old != document:
        write_atomically(metadata, data=document, newer_than=old_time)
        changed = True
    releases_path = os.path.join(os.path.dirname(metadata), RELEASES_NAME)
    releases = read_releases(releases_path)
    latest = releases[-1] if releases else {}
    if (latest.get("sha256"), latest.get("package_size")) != (sha256, package_size):
        releases.append({"file": name, "sha256": sha256, "size": os.path.getsize(installer),
                         "package_size": package_size, "url": url,
                         "published": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")})
        write_atomically(releases_path, data=(json.dumps({"releases": releases}, indent=1) + "\n").encode("utf-8"))
        changed = True
    return url, changed


def read_releases(path):
    """The releases published so far, oldest first; none where there is no record."""
    if not os.path.isfile(path):
        return []
    with open(path, encoding="utf-8") as f:
        releases = json.load(f).get("releases", [])
    return [r for r in releases if isinstance(r, dict) and isinstance(r.get("sha256"), str) and
            isinstance(r.get("package_size"), int) and r["package_size"] > 0]
