"""Installs the Python package for `make install`: where the chosen
interpreter looks for packages of the prefix (its user site when the prefix
is the user base, else the posix_prefix scheme), with a relative link to the
installed library and package metadata, so that pip sees it and can remove
it.

usage: install_python_package.py SOURCE_PACKAGE PREFIX LIBRARY VERSION [DESTDIR]
"""
import base64
import hashlib
import os
import shutil
import site
import sys
import sysconfig

NAME = "trivanex-wikitext-table"
PACKAGE = "trivanex_wikitext_table"


def site_dir(prefix):
    if os.path.abspath(prefix) == os.path.abspath(site.getuserbase()):
        return site.getusersitepackages()
    return sysconfig.get_path("purelib", "posix_prefix", vars={"base": prefix, "platbase": prefix})


def record_line(root, path):
    with open(path, "rb") as f:
        digest = base64.urlsafe_b64encode(hashlib.sha256(f.read()).digest()).rstrip(b"=").decode()
    return f"{os.path.relpath(path, root)},sha256={digest},{os.path.getsize(path)}"


def main():
    source, prefix, library, version = sys.argv[1:5]
    destdir = sys.argv[5] if len(sys.argv) > 5 else ""
    target = site_dir(prefix)
    root = destdir + target
    package = os.path.join(root, PACKAGE)
    shutil.rmtree(package, ignore_errors=True)
    shutil.copytree(source, package, ignore=shutil.ignore_patterns("__pycache__", "*.so*"))
    link = os.path.join(package, os.path.basename(library))
    os.symlink(os.path.relpath(destdir + library, package), link)

    info = os.path.join(root, f"{PACKAGE}-{version}.dist-info")
    shutil.rmtree(info, ignore_errors=True)
    os.makedirs(info)
    with open(os.path.join(info, "METADATA"), "w") as f:
        f.write(f"Metadata-Version: 2.1\nName: {NAME}\nVersion: {version}\n"
                f"Summary: Wiki table markup to HTML: a small, fast C library and its Python "
                f"binding\nLicense: MIT\nRequires-Python: >=3.8\n")
    with open(os.path.join(info, "INSTALLER"), "w") as f:
        f.write("make\n")
    with open(os.path.join(info, "top_level.txt"), "w") as f:
        f.write(PACKAGE + "\n")
    lines = []
    for folder, _, files in os.walk(package):
        for name in sorted(files):
            path = os.path.join(folder, name)
            lines.append(f"{os.path.relpath(path, root)},," if os.path.islink(path)
                         else record_line(root, path))
    for name in ("METADATA", "INSTALLER", "top_level.txt"):
        lines.append(record_line(root, os.path.join(info, name)))
    lines.append(f"{os.path.relpath(os.path.join(info, 'RECORD'), root)},,")
    with open(os.path.join(info, "RECORD"), "w") as f:
        f.write("\n".join(lines) + "\n")

    on_path = any(os.path.abspath(p) == os.path.abspath(target) for p in sys.path)
    print(f"-- Python package: {package} (for {sys.executable})")
    if not on_path:
        print(f"-- That folder is not on this Python's import path: "
              f"export PYTHONPATH={target}")


if __name__ == "__main__":
    main()
