"""Where this copy of the package lives: an install under a prefix, the
source tree, or a pip install that remembers the tree it was built from."""

from __future__ import annotations

from pathlib import Path

PACKAGE = Path(__file__).resolve().parent
# Written into the package by its build backend: the source tree's path.
SOURCE_TREE_FILE = "source_tree.txt"
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
    """The source tree this package runs from, or was installed from."""
    if PACKAGE.parent.name == "python" and _is_source_tree(PACKAGE.parent.parent):
        return PACKAGE.parent.parent
    try:
        recorded = Path((PACKAGE / SOURCE_TREE_FILE).read_text(encoding="utf-8").strip())
    except (OSError, UnicodeError):
        return None
    return recorded if recorded.is_absolute() and _is_source_tree(recorded) else None


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
