"""Configures and builds a separate launcher build tree, for the tests that
check what a publisher's configure line does to the build."""
import os
import subprocess

SOURCE = os.environ.get("LAUNCHER_SOURCE_DIR",
                        os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
CMAKE = os.environ.get("LAUNCHER_CMAKE", "cmake")


def run(command, **kwargs):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          stdin=subprocess.DEVNULL, **kwargs)


def configure(build_dir, **cache):
    """cache: LAUNCHER_* values; every payload and signing option is given
    explicitly so that a reused tree forgets earlier runs."""
    settings = {"LAUNCHER_PAYLOAD": "", "LAUNCHER_PAYLOAD_DIR": "", "LAUNCHER_SIGN_PFX": "",
                "LAUNCHER_SIGN_PASSWORD_FILE": "", "LAUNCHER_TESTS": "OFF"}
    settings.update(cache)
    command = [CMAKE, "-S", SOURCE, "-B", build_dir,
               "--toolchain", os.path.join(SOURCE, "cmake", "mingw-i686.cmake")]
    command += ["-D%s=%s" % item for item in settings.items()]
    return run(command)


def build(build_dir, target):
    return run([CMAKE, "--build", build_dir, "--target", target, "-j2"])
