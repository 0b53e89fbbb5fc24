"""The example scripts and the user guide's Python example, run as written on
a board of their own."""
import csv
import os
import re
import subprocess
import sys

from conftest import SOURCE_DIR, private_env

EXAMPLES = os.path.join(SOURCE_DIR, "examples", "python")


def run(args, cwd):
    return subprocess.run([sys.executable, *args], env=private_env(), cwd=cwd, capture_output=True, text=True,
                          timeout=120)


def check_sweep(path):
    rows = list(csv.reader(open(path, newline="")))
    assert rows[0] == ["duty_percent", "fan1_rpm", "local_c"]
    duties = [int(r[0]) for r in rows[1:]]
    speeds = [int(r[1]) for r in rows[1:]]
    assert duties == sorted(duties, reverse=True) and duties[0] == 100 and duties[-1] == 0
    # The fan follows the duty: slower at each step, nearly still at 0 %.
    assert speeds == sorted(speeds, reverse=True) and speeds[0] > 4000 and speeds[-1] < 200


def test_the_user_guides_example_runs_as_written(tmp_path):
    guide = open(os.path.join(SOURCE_DIR, "docs", "user-guide.md"), encoding="utf-8").read()
    section = guide[guide.index("\n## Python\n"):]
    section = section[:section.index("\n## ", 1)]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    (tmp_path / "sweep.py").write_text(code)
    r = run(["sweep.py"], tmp_path)
    assert r.returncode == 0, r.stderr
    check_sweep(tmp_path / "sweep.csv")


def test_duty_sweep(tmp_path):
    r = run([os.path.join(EXAMPLES, "duty_sweep.py"), "out.csv"], tmp_path)
    assert r.returncode == 0, r.stderr
    check_sweep(tmp_path / "out.csv")


def test_monitor(tmp_path):
    r = run([os.path.join(EXAMPLES, "monitor.py"), "2"], tmp_path)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[0] == "TFM4411 at 0x2e on the printer (simulated)"
    assert len(lines) == 3 and all("local" in l and "fan1" in l for l in lines[1:])


def test_an_smbus2_script_runs_unchanged(tmp_path):
    r = run([os.path.join(EXAMPLES, "smbus2_style.py")], tmp_path)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["device id 0x31, company 0x46", "local high limit 70 -> 60", "nothing at 0x2c: errno 6"]
