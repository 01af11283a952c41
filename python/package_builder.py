"""The package's build backend (PEP 517, and PEP 660 for pip install -e):
plain wheels of pure Python made with the standard library alone, so that
pip needs no index to install the package.

Besides the package's files, a wheel built from the source tree carries the
known USB ids (board/usb_ids.txt) and the source tree's path, where the
package looks for the built library (build/lib64/)."""

from __future__ import annotations

import base64
import hashlib
import io
import os
import re
import tarfile
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
PACKAGE = "arduinodrv"
SOURCE_TREE = HERE.parent
USB_IDS = SOURCE_TREE / "board" / "usb_ids.txt"
# Files that are no part of an installed package.
_SKIPPED = re.compile(r"(^|/)(__pycache__|tests?)(/|$)|\.py[co]$")


def _project() -> dict[str, object]:
    """The few [project] and [project.scripts] keys of pyproject.toml this
    backend reads: 'key = "value"' lines."""
    section = None
    project: dict[str, object] = {"scripts": {}}
    for line in (HERE / "pyproject.toml").read_text(encoding="utf-8").splitlines():
        line = line.split("#", 1)[0].strip() if not line.strip().startswith('"') else line.strip()
        if line.startswith("["):
            section = line.strip("[]").strip()
            continue
        match = re.fullmatch(r'([\w.-]+)\s*=\s*"([^"]*)"', line)
        if not match:
            continue
        if section == "project":
            project[match.group(1)] = match.group(2)
        elif section == "project.scripts":
            project["scripts"][match.group(1)] = match.group(2)
    return project


def _version() -> str:
    text = (HERE / PACKAGE / "__init__.py").read_text(encoding="utf-8")
    return re.search(r'^__version__ = "([^"]+)"', text, re.M).group(1)


def _metadata() -> str:
    project = _project()
    lines = ["Metadata-Version: 2.1", f"Name: {project['name']}", f"Version: {_version()}",
             f"Summary: {project.get('description', '')}"]
    if "requires-python" in project:
        lines.append(f"Requires-Python: {project['requires-python']}")
    return "\n".join(lines) + "\n"


def _dist_info() -> str:
    return f"{PACKAGE}-{_version()}.dist-info"


def _wheel_name() -> str:
    return f"{PACKAGE}-{_version()}-py3-none-any.whl"


def _package_files() -> dict[str, bytes]:
    files = {}
    for path in sorted((HERE / PACKAGE).rglob("*")):
        relative = path.relative_to(HERE).as_posix()
        if path.is_file() and not _SKIPPED.search(relative):
            files[relative] = path.read_bytes()
    if USB_IDS.is_file():
        files[f"{PACKAGE}/usb_ids.txt"] = USB_IDS.read_bytes()
    files[f"{PACKAGE}/source_tree.txt"] = (str(SOURCE_TREE) + "\n").encode()
    return files


def _write_wheel(directory: str, files: dict[str, bytes]) -> str:
    info = _dist_info()
    scripts = _project()["scripts"]
    files = dict(files)
    files[f"{info}/METADATA"] = _metadata().encode()
    files[f"{info}/WHEEL"] = (b"Wheel-Version: 1.0\nGenerator: package_builder\n"
                              b"Root-Is-Purelib: true\nTag: py3-none-any\n")
    if scripts:
        files[f"{info}/entry_points.txt"] = ("[console_scripts]\n" + "".join(
            f"{name} = {target}\n" for name, target in scripts.items())).encode()
    record = []
    for name, data in files.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record.append(f"{name},sha256={digest},{len(data)}")
    record.append(f"{info}/RECORD,,")
    files[f"{info}/RECORD"] = ("\n".join(record) + "\n").encode()
    name = _wheel_name()
    with zipfile.ZipFile(os.path.join(directory, name), "w", zipfile.ZIP_DEFLATED) as wheel:
        for member, data in files.items():
            wheel.writestr(zipfile.ZipInfo(member, date_time=(2020, 1, 1, 0, 0, 0)), data)
    return name


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    return _write_wheel(wheel_directory, _package_files())


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    # The interpreter finds the package where it is, in the source tree.
    return _write_wheel(wheel_directory, {f"__editable__.{PACKAGE}.pth": (str(HERE) + "\n").encode()})


def build_sdist(sdist_directory, config_settings=None):
    base = f"{PACKAGE}-{_version()}"
    files = _package_files()
    files.pop(f"{PACKAGE}/source_tree.txt")
    for name in ("pyproject.toml", "package_builder.py"):
        files[name] = (HERE / name).read_bytes()
    files["PKG-INFO"] = _metadata().encode()
    name = f"{base}.tar.gz"
    with tarfile.open(os.path.join(sdist_directory, name), "w:gz", format=tarfile.PAX_FORMAT) as sdist:
        for member, data in sorted(files.items()):
            entry = tarfile.TarInfo(f"{base}/{member}")
            entry.size = len(data)
            entry.mode = 0o644
            sdist.addfile(entry, io.BytesIO(data))
    return name
