"""Chip.characterize_fan: the CLI's measurement from Python, on a fast private
board whose fan starts at 40 % and stalls below 27 %."""
import json

from conftest import run_python

BOARD = {"timeScale": 20, "ports": [{"chips": [{"fans": [
    {"startDuty": 40, "stopDuty": 27, "spinUpS": 1.0}, {"fullSpeedRpm": 3000}]}]}]}

SCRIPT = """
import json, os, sys, fanscope
steps = []
saved = os.path.join(sys.argv[2], "before.txt")
with fanscope.open(sim_config=sys.argv[1]) as chip:
    chip.save(saved)
    result = chip.characterize_fan(1, progress=steps.append)
    differences = chip.diff(saved)
print(json.dumps({"result": result, "steps": len(steps), "phases": sorted({s["phase"] for s in steps}),
                  "differences": {hex(k): v for k, v in differences.items()}}))
"""


def test_thresholds_found_and_chip_restored(board_config, tmp_path):
    r = run_python(SCRIPT, args=(board_config(BOARD), str(tmp_path)), timeout=240)
    assert r.returncode == 0, r.stderr
    out = json.loads(r.stdout)
    result = out["result"]
    assert set(result) == {"fan", "start_duty_percent", "stop_duty_percent", "full_speed_rpm", "spin_up_s",
                           "pulses_ok", "points"}
    assert result["fan"] == 1
    # Within one duty step (the codes are about 6.7 % apart).
    assert abs(result["start_duty_percent"] - 40) <= 7
    assert abs(result["stop_duty_percent"] - 27) <= 7
    assert {p["direction"] for p in result["points"]} == {"up", "down"}
    assert out["steps"] > 0 and "up" in out["phases"]
    # The saved configuration and the chip agree afterwards.
    assert out["differences"] == {}, out["differences"]


def test_a_failing_progress_callback_ends_the_run_restored(board_config):
    script = """
import sys, fanscope
def progress(p):
    raise RuntimeError("stop here")
with fanscope.open(sim_config=sys.argv[1]) as chip:
    config = chip.read(0x22)
    try:
        chip.characterize_fan(1, progress=progress)
    except RuntimeError as e:
        print("raised", e)
    print("restored", chip.read(0x22) == config)
"""
    r = run_python(script, args=(board_config(BOARD),), timeout=240)
    assert r.returncode == 0, r.stderr
    assert "raised stop here" in r.stdout and "restored True" in r.stdout


def test_bad_fan_is_a_value_error(board_config):
    script = """
import sys, fanscope
with fanscope.open(sim_config=sys.argv[1]) as chip:
    for fan in (0, 3):
        try:
            chip.characterize_fan(fan)
        except ValueError as e:
            print(e)
"""
    r = run_python(script, args=(board_config(BOARD),))
    assert r.returncode == 0, r.stderr
    assert "fan 0 is not 1 or 2" in r.stdout and "fan 3 is not 1 or 2" in r.stdout


def test_the_other_fan_leaving_automatic_control_is_told_first(board_config):
    # As an error, the warning ends the run before it sweeps; the chip is as it was.
    script = """
import sys, warnings, fanscope
with fanscope.open(sim_config=sys.argv[1]) as chip:
    chip.write(0x00, 0x80, mask=0x80)
    chip.write(0x22, 0x50)
    before = {r: chip.read(r) for r in (0x00, 0x22, 0x23, 0x20)}
    warnings.simplefilter("error")
    try:
        chip.characterize_fan(1)
    except UserWarning as w:
        print("warned:", w)
    print("restored", {r: chip.read(r) for r in before} == before)
"""
    r = run_python(script, args=(board_config(BOARD),))
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [
        "warned: fan 2 leaves automatic control while fan 1 is measured: it runs at its duty code's 33 % until "
        "the measurement ends", "restored True"]
