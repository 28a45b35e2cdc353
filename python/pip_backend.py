"""Builds the Python package tagdb as a wheel for pip (see pyproject.toml).

CMake builds the extension as `make install` does, with the library
compiled into it (the tagdb_python target, in a scratch build directory
configured for this Python); the wheel is written here, with the standard
library alone, so that a venv without the wheel package, offline, can
build it.  The version is the library's, from tagdb/tagdb.h.
"""

import base64
import hashlib
import os
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import zipfile

SOURCE = pathlib.Path(__file__).resolve().parent.parent
NAME = "tagdb"
SUMMARY = "Random taglines from tagfiles: the tagdb library, for Python"


def _version():
    header = (SOURCE / "tagdb" / "tagdb.h").read_text()
    parts = [re.search(rf"^#define TAGDB_VERSION_{p} +(\d+)", header, re.M) for p in ("MAJOR", "MINOR", "PATCH")]
    if not all(parts):
        raise RuntimeError("tagdb/tagdb.h defines no TAGDB_VERSION_MAJOR, _MINOR and _PATCH")
    return ".".join(p.group(1) for p in parts)


def _tag():
    """This interpreter's wheel tag: the extension is built for it alone."""
    interpreter = f"cp{sys.version_info.major}{sys.version_info.minor}"
    platform = re.sub(r"[-.]", "_", sysconfig.get_platform())
    return f"{interpreter}-{interpreter}-{platform}"


def _dist_info(directory, version):
    """Writes NAME-VERSION.dist-info (without RECORD) into directory."""
    info = pathlib.Path(directory) / f"{NAME}-{version}.dist-info"
    info.mkdir(parents=True, exist_ok=True)
    (info / "METADATA").write_text(
        f"Metadata-Version: 2.1\nName: {NAME}\nVersion: {version}\nSummary: {SUMMARY}\n"
        "License: MIT\nRequires-Python: >=3.9\n"
    )
    (info / "WHEEL").write_text(
        f"Wheel-Version: 1.0\nGenerator: pelnik pip_backend\nRoot-Is-Purelib: false\nTag: {_tag()}\n"
    )
    (info / "top_level.txt").write_text(f"{NAME}\n")
    shutil.copy(SOURCE / "LICENSE", info / "LICENSE")
    return info.name


def _build_package(scratch):
    """The package directory as CMake lays it out, extension built."""
    build = pathlib.Path(scratch) / "build"
    configure = [
        "cmake", "-S", str(SOURCE), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
        "-DBUILD_TESTING=OFF", "-DPELNIK_PYTHON=ON", f"-DPython3_EXECUTABLE={sys.executable}",
    ]
    jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
    for command in (configure, ["cmake", "--build", str(build), "--target", "tagdb_python", "-j", jobs]):
        print("pip_backend:", " ".join(command), file=sys.stderr, flush=True)
        subprocess.run(command, check=True, stdout=sys.stderr)
    return build / "python" / NAME


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}\n"


# PEP 517 hooks.

def get_requires_for_build_wheel(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    return _dist_info(metadata_directory, _version())


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    version = _version()
    wheel = f"{NAME}-{version}-{_tag()}.whl"
    with tempfile.TemporaryDirectory(prefix="tagdb-wheel-") as scratch:
        package = _build_package(scratch)
        info = _dist_info(scratch, version)
        files = [(f"{NAME}/{p.name}", p) for p in sorted(package.iterdir())
                 if p.is_file() and (p.suffix in (".py", ".pyi", ".so") or p.name == "py.typed")]
        files += [(f"{info}/{p.name}", p) for p in sorted((pathlib.Path(scratch) / info).iterdir())]
        record = ""
        with zipfile.ZipFile(pathlib.Path(wheel_directory) / wheel, "w", zipfile.ZIP_DEFLATED) as whl:
            for name, path in files:
                data = path.read_bytes()
                whl.writestr(name, data)
                record += _record_line(name, data)
            record += f"{info}/RECORD,,\n"
            whl.writestr(f"{info}/RECORD", record)
    return wheel
