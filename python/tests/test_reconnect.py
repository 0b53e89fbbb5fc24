"""Long runs over a board restart: an exporter, a `monitor --json` and a
Python loop on one shared board (its own socket in a private folder); the
board is killed and a new one started, and each comes back by itself, with
nothing it did not read in between."""
import json
import os
import signal
import subprocess
import sys
import textwrap
import time

from conftest import BOARD, CLI, private_env

# Set on the first board only: the board started again has the power-on 70.
FIRST_HIGH = 80
POWER_ON_HIGH = 70

LOOP = textwrap.dedent("""
    import json, sys, time
    import fanscope
    chip = fanscope.open()
    bus = fanscope.SMBus(medium="printer")
    while True:
        for name, call in (("chip", lambda: chip.read(0x14)), ("smbus", lambda: bus.read_byte_data(0x2E, 0x14))):
            try:
                print(json.dumps({"who": name, "value": call()}), flush=True)
            except fanscope.ChipGoneError as e:
                print(json.dumps({"who": name, "gone": e.strerror}), flush=True)
        time.sleep(0.2)
""")


class Board:
    def __init__(self, socket, log, config=None):
        self.process = subprocess.Popen([BOARD, "--socket", socket] + (["--config", config] if config else []),
                                        stdout=log, stderr=subprocess.STDOUT,
                                        env=private_env(FANSCOPE_BOARD=None))
        deadline = time.monotonic() + 10
        while not os.path.exists(socket):
            assert self.process.poll() is None and time.monotonic() < deadline, "the board did not start"
            time.sleep(0.01)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()


def lines(path):
    with open(path) as f:
        return f.read().splitlines()


def wait_for(what, limit=15):
    deadline = time.monotonic() + limit
    while not what():
        assert time.monotonic() < deadline, "waited in vain"
        time.sleep(0.05)


def local_high(prom):
    """The exporter's local high limit and chip_up from its textfile."""
    up = high = None
    for line in prom:
        if line.startswith("fanscope_chip_up{"):
            up = int(float(line.split()[-1]))
        if line.startswith("fanscope_temperature_limit_celsius{") and 'channel="local"' in line and \
                'limit="high"' in line:
            high = int(float(line.split()[-1]))
    return up, high


def test_every_client_comes_back_after_a_board_restart(tmp_path):
    socket = str(tmp_path / "board.sock")
    env = private_env(FANSCOPE_BOARD=socket)
    board_log = open(tmp_path / "board.log", "w")
    board = Board(socket, board_log)
    clients = []
    try:
        r = subprocess.run([CLI, "set", "-y", "0x14", str(FIRST_HIGH)], env=env, capture_output=True, text=True,
                           timeout=30)
        assert r.returncode == 0, r.stderr
        prom_dir = tmp_path / "prom"
        prom_dir.mkdir()
        prom = prom_dir / "fanscope.prom"
        for name, args in (("exporter", [CLI, "export", "--textfile", str(prom_dir), "--interval", "0.2"]),
                           ("monitor", [CLI, "monitor", "--json", "--interval", "0.2"]),
                           ("loop", [sys.executable, "-c", LOOP])):
            out = open(tmp_path / (name + ".out"), "w")
            err = open(tmp_path / (name + ".err"), "w")
            clients.append((name, subprocess.Popen(args, env=env, stdout=out, stderr=err), out, err))

        exporter_seen = []  # (up, high) as the exporter wrote them

        def look():
            if prom.exists():
                exporter_seen.append(local_high(lines(prom)))

        def all_read(high):
            look()
            loop = [json.loads(x) for x in lines(tmp_path / "loop.out")]
            monitor = [json.loads(x) for x in lines(tmp_path / "monitor.out")]
            return (any(s.get("value") == high and s["who"] == "chip" for s in loop) and
                    any(s.get("value") == high and s["who"] == "smbus" for s in loop) and
                    any(m["local"]["high"] == high for m in monitor) and exporter_seen[-1:] == [(1, high)])

        wait_for(lambda: all_read(FIRST_HIGH))
        board.kill()
        # Away for a while: every client must notice, none may hang.
        away_until = time.monotonic() + 1.0
        while time.monotonic() < away_until:
            look()
            time.sleep(0.05)
        board = Board(socket, board_log)
        wait_for(lambda: all_read(POWER_ON_HIGH))
        for name, process, _, _ in clients:
            assert process.poll() is None, name + " ended: " + open(tmp_path / (name + ".err")).read()
    finally:
        for _, process, out, err in clients:
            process.send_signal(signal.SIGINT)
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
            out.close()
            err.close()
        board.kill()
        board_log.close()

    # Nothing but the chip's own values: the first board's limit, then the
    # second's, and in between only the loss.
    loop = [json.loads(x) for x in lines(tmp_path / "loop.out")]
    assert {s["value"] for s in loop if "value" in s} == {FIRST_HIGH, POWER_ON_HIGH}
    gone = [s["gone"] for s in loop if "gone" in s]
    assert gone, "the loop never saw the board go"
    assert all(g == "the shared simulated board at " + socket + " went away" for g in gone), gone
    values = [s["value"] for s in loop if "value" in s]
    assert values == sorted(values, reverse=True), "an old value after a new one"

    monitor = [json.loads(x) for x in lines(tmp_path / "monitor.out")]
    assert {m["local"]["high"] for m in monitor} == {FIRST_HIGH, POWER_ON_HIGH}
    assert all(m["chip"] == "TFM4411" and m["local"]["celsius"] is not None for m in monitor)
    assert lines(tmp_path / "monitor.err") == [
        "fanscope-cli: the shared simulated board at " + socket + " went away",
        "fanscope-cli: the TFM4411 at 0x2e on printer port 0 (0x378) answers again"]

    assert set(exporter_seen) <= {(1, FIRST_HIGH), (0, None), (1, POWER_ON_HIGH)}, set(exporter_seen)
    assert (0, None) in exporter_seen, "the exporter never said the chip was down"


BRIDGE = textwrap.dedent("""
    import sys, time
    import fanscope
    bus = fanscope.SMBus(4)
    print("first", bus.bus, bus.read_byte_data(0x2E, 0x3D), flush=True)
    sys.stdin.readline()  # the board is gone
    try:
        bus.read_byte_data(0x2E, 0x3D)
        print("read while away", flush=True)
    except fanscope.ChipGoneError:
        print("gone", flush=True)
    sys.stdin.readline()  # another board, the bridge under another number
    deadline = time.monotonic() + 15
    while True:
        try:
            value = bus.read_byte_data(0x2E, 0x3D)
            print("back", bus.bus, value, flush=True)
            break
        except fanscope.ChipGoneError as e:
            assert time.monotonic() < deadline, e
            time.sleep(0.1)
""")


def test_smbus_finds_its_bridge_again_under_another_number(tmp_path):
    socket = str(tmp_path / "board.sock")
    env = private_env(FANSCOPE_BOARD=socket)
    configs = []
    for n, adapters in enumerate(([{"number": 4, "name": "USB bridge"}],
                                  [{"number": 1}, {"number": 7, "name": "USB bridge"}])):
        path = tmp_path / ("board%d.json" % n)
        path.write_text(json.dumps({"i2cAdapters": adapters}))
        configs.append(str(path))
    log = open(tmp_path / "board.log", "w")
    board = Board(socket, log, configs[0])
    script = subprocess.Popen([sys.executable, "-c", BRIDGE], env=env, stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert script.stdout.readline().split() == ["first", "4", "49"], script.stderr.read()
        board.kill()
        script.stdin.write("\n")
        script.stdin.flush()
        assert script.stdout.readline().strip() == "gone"
        board = Board(socket, log, configs[1])
        script.stdin.write("\n")
        script.stdin.flush()
        out, err = script.communicate(timeout=30)
        assert script.returncode == 0, err
        assert out.split()[:3] == ["back", "7", "49"], out
    finally:
        if script.poll() is None:
            script.kill()
            script.wait()
        board.kill()
        log.close()
