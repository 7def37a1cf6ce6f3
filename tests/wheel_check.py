"""Checks a built wheel as a package index and a user's system would see it: a manylinux
tag, no OpenMP runtime of its own inside, and an installed module that needs the system's
libgomp.so.1 (where callers read and set the thread count).

    python tests/wheel_check.py WHEEL   (with the wheel installed in this interpreter)
"""

import subprocess
import sys
import zipfile
from pathlib import Path


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
    import cpp_functions

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
