#!/usr/bin/env python3
"""copy_prefix.py <template> <target>: a worker slot's Wine prefix from the
booted template. The system folder's program images and code-page tables
(about nine tenths of a prefix, which nothing in a test writes) are hard links
to the template's; every other file is a copy of its own, so what one slot's
programs write (registry, ProgramData, Program Files, win.ini) never reaches
another slot."""
import os
import shutil
import sys

SHARED_FOLDERS = {("drive_c", "windows", "system32"), ("drive_c", "windows", "syswow64")}
SHARED_SUFFIXES = {".dll", ".exe", ".nls", ".sys", ".drv", ".ocx", ".cpl", ".acm", ".tlb", ".ds",
                   ".ax", ".com", ".msstyles"}


def shared(rel_dir, name):
    parts = tuple(p for p in rel_dir.split(os.sep) if p not in ("", "."))
    return parts[:3] in SHARED_FOLDERS and os.path.splitext(name)[1].lower() in SHARED_SUFFIXES


def copy(template, target):
    for root, dirs, files in os.walk(template):
        rel = os.path.relpath(root, template)
        out = os.path.normpath(os.path.join(target, rel))
        os.makedirs(out, exist_ok=True)
        for name in dirs + files:
            src, dst = os.path.join(root, name), os.path.join(out, name)
            if os.path.islink(src):
                os.symlink(os.readlink(src), dst)
            elif name in files:
                if shared(rel, name):
                    os.link(src, dst)
                else:
                    shutil.copy2(src, dst)
        # Symbolic links to folders (dosdevices) are not walked into.
        dirs[:] = [d for d in dirs if not os.path.islink(os.path.join(root, d))]
        shutil.copystat(root, out)


if __name__ == "__main__":
    copy(sys.argv[1], sys.argv[2])
