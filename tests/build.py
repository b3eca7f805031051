#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""What the build makes and ships: the libraries the daemon needs, a build against the vendor's library,
the manual page as groff and mandoc render it, and the project's shell scripts through sh -n and
shellcheck. Run by tests/CMakeLists.txt; see harness.py."""
import os
import re
import signal
import sys

from harness import BUILD, SOURCE, Skip, case, main, run, verbose_relay
from lab import daemon
from lab.daemon import expect_end, startup_line
from lab.netns import enter_lab

MANUAL_PAGE = SOURCE / "doc/quelmar.8"


def dynamic_section(binary):
    return run(["readelf", "-d", "--dyn-syms", binary], check=True).stdout


# Neither this nor the next under memcheck: they run no daemon of this build.
@case("unsanitized")  # a sanitizer build links its runtimes
def needed():
    """The daemon needs libc alone (and libzvapi.so.1 when zvdbg_printf comes from it): no libstdc++, no libgcc_s."""
    dynamic = dynamic_section(daemon.BINARY)
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+)\]", dynamic)
    vendor = ["libzvapi.so.1"] if re.search(r"\bUND zvdbg_printf\b", dynamic) else []
    libc = [name for name in needed if re.fullmatch(r"libc\.so(\.\d+)?", name)]
    assert len(libc) == 1 and sorted(needed) == sorted(libc + vendor), needed


@case()
def vendor_library():
    """Built against a libzvapi.so.1, quelmar needs it, has no stand-in, and dumps through it."""
    zvapi = BUILD["zvapi"]
    if not zvapi or os.geteuid() != 0:
        raise Skip("needs root and the test's libzvapi.so.1")
    build = os.path.join(os.path.dirname(os.path.dirname(zvapi)), "vendor-build")
    cmake_args = BUILD["cmake_args"].split(";") if BUILD["cmake_args"] else []

    def configure(library_dir):
        run(["rm", "-rf", build], check=True)
        return run(["cmake", "-S", SOURCE, "-B", build, "-DQUELMAR_ZVAPI=VENDOR", f"-DQUELMAR_ZVAPI_DIR={library_dir}",
                    "-DBUILD_TESTING=OFF", *cmake_args])

    absent = configure("/nonexistent")
    assert absent.returncode != 0 and "libzvapi.so.1 was not found" in absent.stderr, absent.stderr
    found = configure(os.path.dirname(zvapi))
    assert found.returncode == 0 and "zvdbg_printf from the vendor library" in found.stdout, found.stderr
    run(["cmake", "--build", build, "--target", "quelmar"], check=True)
    daemon.BINARY = os.path.join(build, "quelmar")
    dynamic = dynamic_section(daemon.BINARY)
    assert "Shared library: [libzvapi.so.1]" in dynamic, dynamic
    assert re.search(r"\bUND zvdbg_printf\b", dynamic), "zvdbg_printf is defined in quelmar itself"
    nas = enter_lab()
    console = "/run/console.txt"
    proc, trace = verbose_relay(nas, env=dict(os.environ, QUELMAR_TEST_CONSOLE=console))
    expect_end(proc, out=startup_line(), sig=signal.SIGTERM)
    with open(console, newline="") as f:
        console_text = f.read()
    assert console_text == trace, console_text


# The manual page renders without a warning, under groff (as man -l renders it) and under mandoc's
# stricter lint.
@case("groff/groff-base")
def man_groff():
    """groff -ww reports its warnings but still exits 0: any output is one."""
    done = run(["groff", "-ww", "-z", "-man", MANUAL_PAGE])
    assert (done.returncode, done.stdout + done.stderr) == (0, ""), done.stdout + done.stderr


@case("mandoc/mandoc")
def man_mandoc():
    done = run(["mandoc", "-T", "lint", "-W", "warning", MANUAL_PAGE])
    assert done.returncode == 0, done.stdout + done.stderr


def shell_scripts():
    """Every shell script of the project: the init scripts, the board's, the commands and tools/, the tests'."""
    found = []
    for folder in (".ci", "bench", "board", "contrib", "demo", "tests", "tools"):
        for path in sorted((SOURCE / folder).rglob("*")):
            if path.is_file() and (path.suffix == ".sh" or path.read_bytes().startswith(b"#!/bin/sh")):
                found.append(str(path))
    return found


@case("plain", "shellcheck/shellcheck")  # the scripts are the same whatever the build
def shell_lint():
    scripts = shell_scripts()
    for script in scripts:
        done = run(["sh", "-n", script])
        assert done.returncode == 0, f"sh -n {script}: {done.stderr}"
    done = run(["shellcheck", "-s", "sh", *scripts])
    assert done.returncode == 0, done.stdout + done.stderr
    print(f"{len(scripts)} scripts: {' '.join(os.path.relpath(s, SOURCE) for s in scripts)}")


if __name__ == "__main__":
    sys.exit(main())
