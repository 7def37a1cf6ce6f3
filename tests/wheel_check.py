"""Checks a built wheel as a package index and a user's system would see it: a manylinux
tag, no OpenMP runtime of its own inside, the license in its metadata, and an installed
module that needs the system's libgomp.so.1 (where callers read and set the thread count)
and knows its version.

    python tests/wheel_check.py WHEEL   (with the wheel installed in this interpreter)
"""

import importlib.metadata
import subprocess
import sys
import zipfile
from pathlib import Path


def metadata_problems(wheel: str) -> list[str]:
    """What an index shows of the license: the expression and the file itself."""
    names = zipfile.ZipFile(wheel).namelist()
    dist_info = next(n.split("/")[0] for n in names if n.endswith(".dist-info/METADATA"))
    metadata = zipfile.ZipFile(wheel).read(f"{dist_info}/METADATA").decode()
    problems = []
    if "License-Expression: MIT" not in metadata.splitlines():
        problems.append("no License-Expression: MIT in METADATA")
    if f"{dist_info}/licenses/LICENSE" not in names:
        problems.append("no dist-info/licenses/LICENSE")
    return problems


def main(wheel: str) -> int:
    name = Path(wheel).name
    tag = name.rsplit("-", 1)[-1].removesuffix(".whl")
    problems = []
    if not tag.startswith("manylinux_"):
        problems.append(f"platform tag {tag} is not a manylinux tag")
    libraries = [
        n for n in zipfile.ZipFile(wheel).namelist() if ".so" in n and "cpp_functions." not in n
    ]
    runtimes = [n for n in libraries if "omp" in n.rsplit("/", 1)[-1]]
    if runtimes:
        problems.append(f"OpenMP runtime inside the wheel: {runtimes}")
    problems += metadata_problems(wheel)
    import cpp_functions

    if cpp_functions.__version__ != importlib.metadata.version("cpp_functions"):
        problems.append(f"__version__ {cpp_functions.__version__} is not the metadata's")

    dynamic = subprocess.run(
        ["readelf", "-d", cpp_functions.__file__], capture_output=True, text=True
    )
    needed = [
        line.split("[")[1].rstrip("]") for line in dynamic.stdout.splitlines() if "NEEDED" in line
    ]
    if "libgomp.so.1" not in needed:
        problems.append(f"the module does not need libgomp.so.1: {needed}")
    print(f"{name}: tag {tag}; bundled libraries {libraries or 'none'}")
    print(f"the installed module needs {', '.join(needed)}")
    for problem in problems:
        print(f"FAILED: {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
