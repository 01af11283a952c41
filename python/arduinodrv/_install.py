"""Where this copy of the package lives: an install under a prefix (the
Debian package's), the source tree, or a pip install, which carries its
own libraries in the package's lib folder."""

from __future__ import annotations

from pathlib import Path

PACKAGE = Path(__file__).resolve().parent
# The libraries a pip install built into the package (setup.py):
# lib/libarduinoboard.so.1 and lib/<port>/libarduinodrv.so, 64-bit.
BUNDLED_LIBRARIES = PACKAGE / "lib"
# The known USB ids: package data in a pip install, the board folder in the
# source tree, share/arduinodrv when installed with the libraries.
USB_IDS = "usb_ids.txt"


def install_prefix() -> Path | None:
    """<prefix> of <prefix>/lib/python3*/{dist,site}-packages/arduinodrv."""
    packages = PACKAGE.parent
    if packages.name in ("dist-packages", "site-packages") and packages.parent.parent.name == "lib":
        return packages.parent.parent.parent
    return None


def _is_source_tree(folder: Path) -> bool:
    return (folder / "python" / "arduinodrv").is_dir() and (folder / "CMakeLists.txt").is_file()


def source_tree() -> Path | None:
    """The source tree this package runs from."""
    if PACKAGE.parent.name == "python" and _is_source_tree(PACKAGE.parent.parent):
        return PACKAGE.parent.parent
    return None


def usb_ids_candidates() -> list[Path]:
    candidates = [PACKAGE / USB_IDS]
    source = source_tree()
    if source is not None:
        candidates.append(source / "board" / USB_IDS)
    prefix = install_prefix()
    for root in ([prefix] if prefix is not None else []) + [Path("/usr/local"), Path("/usr")]:
        candidates.append(root / "share" / "arduinodrv" / USB_IDS)
    unique = []
    for candidate in candidates:
        if candidate not in unique:
            unique.append(candidate)
    return unique
