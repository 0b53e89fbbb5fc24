"""Calls that need a board of their own, each in a fresh interpreter: a
process keeps the back-end its first call chose. Boards from sim_config
(private), and the shared board on a private runtime folder."""
import json
import subprocess
import sys
import textwrap

from conftest import private_env, run_cli, run_python


def script(code):
    return textwrap.dedent(code)


def test_a_tfm4410_with_an_open_diode(board_config):
    config = board_config({"ports": [{"chips": [{"variant": "TFM4410", "address": "0x2C", "remote1Open": True}]}]})
    r = run_python(script(f"""
        import fanscope
        with fanscope.open(sim_config={config!r}) as chip:
            print(chip.variant, hex(chip.address))
            print(sorted(chip.temperatures().items(), key=str))
            print(list(chip.fans()))
            print(len(chip.dump()))
            try:
                chip.read(0x0C)
            except ValueError as e:
                print(e)
            s = chip.sample()
            print(sorted(s), s["remote1"]["celsius"], s["remote1"]["fault"])
    """))
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[0] == "TFM4410 0x2c"
    assert "('remote1', None)" in lines[1] and "remote2" not in lines[1]
    assert lines[2] == "['fan1']"
    assert lines[3] == "26"
    assert lines[4] == "register 0x0c (Remote2 Temp. High Byte) does not exist on the TFM4410"
    assert "remote2" not in lines[5] and lines[5].endswith("None True")


def test_a_chip_gone_mid_run_is_chip_gone_error(board_config):
    config = board_config({"ports": [{"faults": [{"kind": "chipGone", "afterTransfers": 40}]}]})
    r = run_python(script(f"""
        import fanscope
        chip = fanscope.open(sim_config={config!r})
        values = []
        try:
            for _ in range(100):
                values.append(chip.read(0x14))
        except fanscope.ChipGoneError as e:
            print("gone:", isinstance(e, OSError), e.errno, e.strerror)
        print("values", sorted(set(values)))
        try:
            chip.dump()
        except OSError as e:
            print("dump:", type(e).__name__)
    """))
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[0] == "gone: True 6 the chip at 0x2E no longer answers"
    # Never a silent 0xFF.
    assert lines[1] == "values [70]"
    assert lines[2] == "dump: ChipGoneError"


def test_a_bad_configuration_is_a_value_error_and_the_interpreter_lives(board_config):
    config = board_config({"ports": [{"chips": [{"address": "0x5E"}]}]})
    r = run_python(script(f"""
        import fanscope
        try:
            fanscope.detect(sim_config={config!r})
        except ValueError as e:
            print(e)
        print("alive")
    """))
    assert r.returncode == 0, r.stderr
    assert "simulated board configuration" in r.stdout and "0x5E" in r.stdout and "alive" in r.stdout


def test_a_process_keeps_its_back_end(board_config):
    config = board_config({"ports": [{"chips": [{"variant": "TFM4410"}]}]})
    r = run_python(script(f"""
        import fanscope
        print(fanscope.detect(sim_config={config!r})[0].variant)
        print(fanscope.open().variant)          # the same private board
        for call in (lambda: fanscope.open(hardware=True), lambda: fanscope.open(sim_config="other.json")):
            try:
                call()
            except ValueError as e:
                print(e)
    """))
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[:2] == ["TFM4410", "TFM4410"]
    assert all("this process already uses the private simulated board of" in l for l in lines[2:4])


def test_the_chipset_smbus_and_a_denied_adapter(board_config):
    config = board_config({"motherboard": {"southBridge": "piix4", "chips": [{"variant": "TFM4410", "address": "0x2D"}]},
                           "i2cAdapters": [{"number": 3, "accessDenied": True}]})
    r = run_python(script(f"""
        import fanscope
        print([(c.medium, hex(c.address), c.variant) for c in fanscope.detect("smbus", sim_config={config!r})])
        with fanscope.open("smbus") as chip:
            print(chip.read(0x3D))
        try:
            fanscope.SMBus(3)
        except PermissionError as e:
            print("denied:", e)
    """))
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[0] == "[('smbus', '0x2d', 'TFM4410')]"
    assert lines[1] == "48"
    assert lines[2].startswith("denied:") and "join the group" in lines[2]


def test_a_search_of_refused_adapters_names_the_group_to_join(board_config):
    # Only a refused adapter: a search finds nothing only because it may not look.
    config = board_config({"i2cAdapters": [{"number": 3, "accessDenied": True}]})
    r = run_python(script(f"""
        import fanscope
        for call in (lambda: fanscope.detect("i2c", sim_config={config!r}), lambda: fanscope.open(medium="i2c")):
            try:
                print("found:", call())
            except PermissionError as e:
                print("denied:", e.errno, e.strerror)
    """))
    assert r.returncode == 0, r.stderr
    expected = "denied: 13 no permission on /dev/i2c-3: join the group i2c and log in again"
    assert r.stdout.splitlines() == [expected, expected]


def test_a_refused_adapter_beside_an_open_one_is_passed_with_a_warning(board_config):
    config = board_config({"i2cAdapters": [{"number": 1}, {"number": 3, "accessDenied": True}]})
    r = run_python(script(f"""
        import warnings
        import fanscope
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            print([(c.bus, hex(c.address)) for c in fanscope.detect("i2c", sim_config={config!r})])
        print([str(w.message) for w in caught])
        with fanscope.open(medium="i2c") as chip:
            print(chip.read(0x3D))
    """))
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["[(1, '0x2e')]", "['not searched, no permission: i2c-3']", "49"]


def test_the_shared_board_is_the_chip_the_cli_sees(shared_board):
    env = shared_board.env
    r = run_python(script("""
        import fanscope
        with fanscope.open() as chip:
            print(chip.simulated, chip.sample()["board"])
            chip.write(0x14, 0x2A)
    """), env=env)
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith("True simulated board (shared, ")
    assert run_cli("get", "0x14", env=env).stdout.strip() == "0x2a"
    assert run_cli("set", "-y", "0x15", "0x05", env=env).returncode == 0
    r = run_python(script("""
        import fanscope
        print([c.simulated for c in fanscope.detect()])
        with fanscope.open() as chip:
            print(hex(chip.read(0x15)), hex(chip.read(0x14)))
        with fanscope.SMBus(1) as bus:
            print(hex(bus.read_byte_data(0x2E, 0x14)))
    """), env=env)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["[True]", "0x5 0x2a", "0x2a"]


def test_a_program_quiet_after_a_transfer_keeps_nobody_from_the_port(shared_board):
    # A program's release goes to the board with its next request, so one
    # that stops after a transfer may still count as holding the port: the
    # board must hand the port on all the same (a refused claim fails).
    env = shared_board.env
    holder = subprocess.Popen(
        [sys.executable, "-c", script("""
            import time
            import fanscope
            chip = fanscope.open("printer")
            chip.write(0x14, 0x33)
            print("ready", flush=True)
            time.sleep(60)
        """)],
        env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline().strip() == "ready", holder.stderr.read()
        for _ in range(3):
            r = run_cli("--medium", "printer", "get", "0x14", env=env)
            assert r.returncode == 0, r.stderr
            assert r.stdout.strip() == "0x33"
    finally:
        holder.kill()
        holder.wait()


def test_an_unplugged_bridge_is_chip_gone_while_it_is_away(board_config):
    config = board_config({"i2cAdapters": [{"number": 4, "name": "USB bridge", "vanishAfter": 2}]})
    r = run_python(script(f"""
        import fanscope
        fanscope.detect("printer", sim_config={config!r})
        bus = fanscope.SMBus(4)
        for _ in range(4):
            try:
                print(bus.read_byte_data(0x2E, 0x3D))
            except fanscope.ChipGoneError as e:
                print("gone:", e.strerror)
    """))
    assert r.returncode == 0, r.stderr
    gone = "gone: i2c-4 has gone away: was the adapter unplugged?"
    assert r.stdout.splitlines() == ["49", "49", gone, gone]
