"""Chip.identify: the thermal loop's measurement from Python, on a fast private
board whose remote 1 is cooled by fan 1."""
import json

from conftest import run_python

BOARD = {"timeScale": 50, "ports": [{"chips": [{"thermal": [
    {"channel": "remote1", "fan": 1, "stillAirRiseC": 40, "fullAirflowRiseC": 15, "tauS": 20, "lagS": 2}]}]}]}

SCRIPT = """
import json, os, sys, fanscope
saved = os.path.join(sys.argv[2], "before.txt")
with fanscope.open(sim_config=sys.argv[1]) as chip:
    chip.save(saved)
    model = chip.identify("remote1")
    differences = chip.diff(saved)
    try:
        chip.identify("remote3")
        bad = None
    except ValueError as e:
        bad = str(e)
print(json.dumps({"model": model, "differences": {hex(k): v for k, v in differences.items()}, "bad": bad}))
"""


def test_loop_identified_and_chip_restored(board_config, tmp_path):
    r = run_python(SCRIPT, args=(board_config(BOARD), str(tmp_path)), timeout=240)
    assert r.returncode == 0, r.stderr
    out = json.loads(r.stdout)
    model = out["model"]
    for key in ("channel", "fan", "points", "tau_s", "lag_s", "rms_error_c", "ambient_c"):
        assert key in model
    assert abs(model["tau_s"] - 20) <= 4
    assert abs(model["points"][-1]["steady_rise_c"] - 15) <= 1.5
    assert out["differences"] == {}
    assert "remote3" in out["bad"]
