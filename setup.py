"""Build script for the native extension; metadata lives in pyproject.toml."""

import os
from glob import glob

from setuptools import Extension, setup


def _flag(name):
    return os.environ.get(name, "") == "1"


compile_args = ["-std=c++17", "-Wall", "-Wextra", "-fvisibility=hidden"]
link_args = []

if _flag("VELTRANO_WERROR"):
    compile_args.append("-Werror")

if _flag("VELTRANO_SANITIZE"):
    # Comes after the interpreter's own -O3 so -O1 wins and reports stay readable.
    sanitize = ["-fsanitize=address,undefined", "-fno-omit-frame-pointer", "-O1", "-g"]
    compile_args += sanitize
    link_args += sanitize

# Hidden visibility keeps every symbol but the entry point private. Headers
# before 3.9 declare PyMODINIT_FUNC without a visibility attribute, so under
# -fvisibility=hidden the entry point would vanish; their definition is
# guarded by #ifndef, so supply one that exports it.
export_init = ("PyMODINIT_FUNC", 'extern "C" __attribute__((visibility("default"))) PyObject*')


def _sources(*folders):
    return sorted(f for folder in folders for f in glob("src/%s/**/*.cpp" % folder, recursive=True))


def _extension(name, folders):
    return Extension(
        "veltrano.transformer." + name,
        sources=_sources(*folders),
        include_dirs=["src"],
        define_macros=[export_init],
        language="c++",
        extra_compile_args=compile_args,
        extra_link_args=link_args,
    )


# Two extensions on one glue (src/common); each has its own folder and names.
timeseries = _extension("timeseries", ["common", "timeseries"])
sequences = _extension("sequences", ["common", "sequences"])

setup(
    packages=["veltrano", "veltrano.transformer"],
    # Type stubs for the compiled module.
    package_data={"veltrano.transformer": ["*.pyi", "py.typed"]},
    ext_modules=[timeseries, sequences],
    options={
        "build_ext": {
            # pip builds in the source tree and setuptools only compares the
            # .cpp files' timestamps with the old build/, missing header and
            # flag changes: always compile from scratch.
            "force": True,
            "parallel": os.cpu_count() or 1,
        }
    },
)
