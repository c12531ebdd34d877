# The suite runs on the library, meter-sim and dravik-cli that DRAVIK_LIBRARY, DRAVIK_METER_SIM
# and DRAVIK_CLI name (ctest sets them to the build's), with the package's own plugin.
import os
import shutil
import subprocess

import pytest

pytest_plugins = ["dravik.testing"]


@pytest.fixture
def cli():
    """Runs dravik-cli with the given arguments; its CompletedProcess (text)."""
    program = os.environ.get("DRAVIK_CLI") or shutil.which("dravik-cli")
    if not program:
        pytest.fail("no dravik-cli to compare with: DRAVIK_CLI is not set, none on PATH")
    return lambda *args: subprocess.run([program, *args], capture_output=True, text=True,
                                        timeout=60)
