"""Shared fixtures: scripts in a fresh interpreter (a process has one back-end),
board configurations in a private folder, and the shared board on a private
runtime folder, stopped by its process id."""
import json
import os
import signal
import subprocess
import sys
import time

import pytest

BINARY_DIR = os.environ["FANSCOPE_BINARY_DIR"]
SOURCE_DIR = os.environ["FANSCOPE_SOURCE_DIR"]
CLI = os.path.join(BINARY_DIR, "bin", "fanscope-cli")
BOARD = os.path.join(BINARY_DIR, "bin", "fanscope-board")


def private_env(**extra):
    """The environment of a child on a board of its own (as ctest gives the tests)."""
    env = dict(os.environ)
    env.update({"VEXLINK06_PLATFORM": "sim", "FANSCOPE_BOARD": "inprocess", "PYTHONDONTWRITEBYTECODE": "1"})
    env.pop("FANSCOPE_SIM_CONFIG", None)
    for key, value in extra.items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    return env


def run_python(code, env=None, args=(), cwd=None, timeout=120):
    """Runs `code` (a script's text) in a fresh interpreter; returns the CompletedProcess."""
    return subprocess.run([sys.executable, "-c", code, *args], env=env or private_env(), cwd=cwd,
                          capture_output=True, text=True, timeout=timeout)


def run_cli(*args, env=None):
    return subprocess.run([CLI, *args], env=env or private_env(), capture_output=True, text=True, timeout=60)


@pytest.fixture
def board_config(tmp_path):
    """Writes a simulated board configuration and returns its path."""
    def write(config, name="board.json"):
        path = tmp_path / name
        path.write_text(json.dumps(config) if not isinstance(config, str) else config)
        return str(path)
    return write


class SharedBoard:
    """fanscope-board on the default socket of a private runtime folder."""

    def __init__(self, runtime):
        self.runtime = str(runtime)
        os.chmod(self.runtime, 0o700)
        self.socket = os.path.join(self.runtime, "fanscope", "board.sock")
        self.env = private_env(XDG_RUNTIME_DIR=self.runtime, FANSCOPE_BOARD=None)
        self.log = open(os.path.join(self.runtime, "board.log"), "w")
        self.process = subprocess.Popen([BOARD], env=self.env, stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 10
        while not os.path.exists(self.socket):
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("fanscope-board did not start: " + open(self.log.name).read())
            time.sleep(0.02)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()


@pytest.fixture
def shared_board(tmp_path):
    runtime = tmp_path / "runtime"
    runtime.mkdir()
    board = SharedBoard(runtime)
    yield board
    board.stop()


@pytest.fixture(scope="session", autouse=True)
def board_of_the_run(tmp_path_factory):
    """FANSCOPE_PY_BOARD=shared runs a file's in-process calls on the shared
    board (on a private runtime folder) instead of the process's own."""
    if os.environ.get("FANSCOPE_PY_BOARD") != "shared":
        yield None
        return
    runtime = tmp_path_factory.mktemp("runtime")
    board = SharedBoard(runtime)
    os.environ["XDG_RUNTIME_DIR"] = board.runtime
    os.environ.pop("FANSCOPE_BOARD", None)
    yield board
    board.stop()
