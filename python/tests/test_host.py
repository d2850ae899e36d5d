"""tarvik-host --python-module with modules it cannot serve: the host stops
with the reason (tests/remote_programs_test.cpp checks what it serves)."""

import os
import select
import subprocess
import time

import pytest

HOST = os.environ.get("TARVIK_HOST_EXE")
pytestmark = pytest.mark.skipif(not HOST, reason="tarvik-host with Python support is not built")


class Host:
    """tarvik-host on a loopback port it picks, in `folder`, without
    PYTHONPATH: it finds the package of its own build by itself."""

    def __init__(self, folder, *args):
        env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
        self.process = subprocess.Popen([HOST, "--listen", "127.0.0.1:0", *args], cwd=folder, env=env,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.output = []

    def wait_for_line(self, prefix, timeout=30.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if select.select([self.process.stdout], [], [], 0.1)[0]:
                line = self.process.stdout.readline()
                if not line:
                    break
                self.output.append(line)
                if line.startswith(prefix):
                    return line[len(prefix):].strip()
        pytest.fail(f"no line starting with {prefix!r}; output so far:\n{''.join(self.output)}")

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
        try:
            status = self.process.wait(timeout=30)
            self.output.append(self.process.stdout.read())
            return status
        finally:
            self.process.kill()
            self.process.stdout.close()


@pytest.mark.parametrize("module, text, message", [
    ("no_such_module_here", None,
     "cannot import Python module 'no_such_module_here': ModuleNotFoundError: No module named 'no_such_module_here'"),
    ("broken_rules_py", "import tarvik\nRATE = 1 / 0\n",
     "cannot import Python module 'broken_rules_py': ZeroDivisionError: division by zero"),
    ("empty_rules_py", "import tarvik\n", "Python module 'empty_rules_py' registers no teacher, controller or perceptor"),
])
def test_a_module_that_cannot_be_served_stops_the_host(tmp_path, module, text, message):
    if text is not None:
        (tmp_path / f"{module}.py").write_text(text)
    host = Host(tmp_path, "--python-module", module)
    assert host.wait_for_line("tarvik-host: error: ").startswith(message)
    assert host.stop() == 1
    if text and "1 / 0" in text:  # the traceback points at the module's line
        assert f'{module}.py", line 2' in "".join(host.output)
