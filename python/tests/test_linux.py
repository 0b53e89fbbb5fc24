"""The module's Linux back-end (hardware=True) end to end: the kernel-adapter
medium's real system calls against /dev/i2c-1 as `fanscope-board exec`
emulates it with umockdev, answered by a private simulated board (--config),
beside smbus2 in the same script. exec's board lives in exec's own process,
so nothing is left behind."""
import json
import subprocess
import sys
import textwrap

import pytest

from conftest import BOARD, private_env


def exec_works(tmp_path_factory):
    config = tmp_path_factory.mktemp("probe") / "board.json"
    config.write_text("{}")
    try:
        r = subprocess.run([BOARD, "exec", "--config", str(config), "--", "true"], env=private_env(),
                           capture_output=True, timeout=60)
    except OSError:
        return False
    return r.returncode == 0


@pytest.fixture(scope="module")
def under_exec(tmp_path_factory):
    if not exec_works(tmp_path_factory):
        pytest.skip("fanscope-board exec (umockdev) is not available in this build")
    folder = tmp_path_factory.mktemp("exec")

    def run(code, config=None):
        path = folder / "board.json"
        path.write_text(json.dumps(config or {}))
        return subprocess.run([BOARD, "exec", "--config", str(path), "--", sys.executable, "-c",
                               textwrap.dedent(code)],
                              env=private_env(), capture_output=True, text=True, timeout=120)
    return run


def test_chip_and_smbus_on_the_linux_adapter(under_exec):
    r = under_exec("""
        import fanscope, smbus2
        print([(c.medium, c.bus, hex(c.address), c.simulated) for c in fanscope.detect("i2c", hardware=True)])
        with fanscope.open("i2c", bus=1, hardware=True) as chip:
            print(chip.simulated, chip.read(0x3D), chip.write(0x14, 0x2A), len(chip.dump()))
            print(sorted(chip.sample()))
        with fanscope.SMBus(1, hardware=True) as ours, smbus2.SMBus(1) as theirs:
            print(ours.read_byte_data(0x2E, 0x14), theirs.read_byte_data(0x2E, 0x14))
            ours.write_word_data(0x2E, 0x14, 0x0530)
            print(hex(theirs.read_word_data(0x2E, 0x14)), hex(ours.read_word_data(0x2E, 0x14)))
            print(ours.read_block_data(0x2E, 0xA1) == theirs.read_block_data(0x2E, 0xA1))
            for bus in (ours, theirs):
                try:
                    bus.read_byte_data(0x2C, 0x3D)
                except OSError as e:
                    print(type(e).__name__, e.errno)
    """)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[0] == "[('i2c', 1, '0x2e', False)]"
    assert lines[1].startswith("False 49 ") and lines[1].endswith(" 35")
    assert "remote2" in lines[2]
    assert lines[3:7] == ["42 42", "0x530 0x530", "True", "OSError 6"]
    assert lines[7] == "OSError 6"


def test_a_chip_gone_on_the_linux_adapter(under_exec):
    r = under_exec("""
        import fanscope
        chip = fanscope.open("i2c", bus=1, hardware=True)
        try:
            for _ in range(200):
                chip.read(0x14)
        except fanscope.ChipGoneError as e:
            print("gone", e.errno, e.strerror)
    """, config={"ports": [{"faults": [{"kind": "chipGone", "afterTransfers": 30}]}]})
    assert r.returncode == 0, r.stderr
    # The adapter's missing acknowledge from the connected chip.
    assert r.stdout.strip() == "gone 6 the chip at 0x2E no longer answers"


def test_an_adapter_that_refuses_this_user(under_exec):
    r = under_exec("""
        import fanscope
        for call in (lambda: fanscope.SMBus(1, hardware=True), lambda: fanscope.open("i2c", bus=1, hardware=True)):
            try:
                call()
            except PermissionError as e:
                print("PermissionError", e)
    """, config={"i2cAdapters": [{"number": 1, "accessDenied": True}]})
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert len(lines) == 2 and all(l.startswith("PermissionError") and "group" in l for l in lines)
