"""Every Chip call on the process's own simulated board (a TFM4411 at 0x2e),
and, as the ctest entry python_test_chip_shared, on the shared board."""
import json
import os
import pydoc

import pytest

import fanscope
from conftest import run_cli


@pytest.fixture
def chip():
    with fanscope.open() as c:
        yield c


def test_version_is_the_programs():
    out = run_cli("--version").stdout
    assert fanscope.__version__ and fanscope.__version__ in out


def test_detect_lists_the_boards_chip():
    found = fanscope.detect()
    assert [(c.medium, c.port, c.bus, c.address, c.variant, c.simulated) for c in found] == \
        [("printer", 0, None, 0x2E, "TFM4411", True)]
    assert "address=0x2e" in repr(found[0])
    assert fanscope.detect("i2c") == [c for c in fanscope.detect(bus=1)]
    assert [c.bus for c in fanscope.detect(bus="i2c-1")] == [1]
    assert fanscope.detect(port=0) == found


def test_open_describes_the_chip(chip):
    assert (chip.variant, chip.address, chip.medium, chip.simulated) == ("TFM4411", 0x2E, "printer", True)
    with fanscope.open("i2c", bus=1, address=0x2E) as on_adapter:
        assert on_adapter.medium == "i2c"
        assert on_adapter.read(0x3D) == 0x31


def test_read_and_write_by_address_and_name(chip):
    assert chip.read(0x3D) == 0x31
    assert chip.read("device id") == 0x31
    old = chip.read(0x14)
    assert chip.write(0x14, 0x1E) == old
    assert chip.read("Local Temp. High Limit") == 0x1E
    # Only the mask's bits change; the old value comes back.
    chip.write(0x22, 0xA5)
    assert chip.write(0x22, 0x0C, mask=0x0F) == 0xA5
    assert chip.read(0x22) == 0xAC


def test_register_names_are_looked_up_as_the_command_line_does(chip):
    chip.write(0x14, 0x2B)
    # The saved file's label, case and punctuation ignored, a unique beginning.
    for name in ("Local High Limit", "local temp high limit", "LOCAL-TEMP.-HIGH-LIMIT", "Local Temp. High Li"):
        assert chip.read(name) == 0x2B, name
    assert chip.decode("Fan Speed Config.", 0x53)["Fan1 duty"] == (3, "20 %")
    assert chip.read("THERM/Revision") == chip.read(0x3F)
    with pytest.raises(ValueError, match="is ambiguous: .*Remote1 Temp. High Limit"):
        chip.read("Remote")
    with pytest.raises(ValueError, match="unknown register 'no such register'"):
        chip.read("no such register")


def test_dump_is_every_register_in_address_order(chip):
    values = chip.dump()
    assert list(values) == sorted(values)
    assert len(values) == 35
    assert values[0x3D] == 0x31 and values[0x3E] == chip.read(0x3E)


def test_decode_gives_the_dump_fields_as_values(chip):
    chip.write(0x20, 0x00)
    fields = chip.decode(0x20, 0xEA)
    assert fields == {"SpinUp": 2, "PWM": (5, "46.9 Hz"), "Divisor(N)": 8}
    assert type(fields["SpinUp"]) is int and type(fields["Divisor(N)"]) is int
    assert isinstance(fields["PWM"], fanscope.Choice) and fields["PWM"].code == 5
    assert chip.decode(0x3D) == {"Chip": (0x31, "TFM4411")}
    assert chip.decode(0x3D, 0x42) == {"Chip": (0x42, "unknown")}
    # Two's complement both ways, and the offset's sign bit.
    assert chip.decode(0x14, 0x46) == {"Limit": 70}
    assert chip.decode(0x14, 0xF6) == {"Limit": -10}
    assert chip.decode(0x0D, 0x83) == {"Offset": -3}
    assert chip.decode(0x0D, 0x03) == {"Offset": 3}
    assert chip.decode(0x22, 0xF3) == {"Fan1 duty": (3, "20 %"), "Fan2 duty": (15, "100 %")}
    assert chip.decode(0x22, 0x00)["Fan1 duty"] == (0, "Off")


def test_decode_keeps_the_fraction_and_says_what_has_no_value(chip):
    temperature = chip.decode("Local Temp. High Byte")["Temperature"]
    assert type(temperature) is float
    assert temperature == chip.temperatures()["local"]
    # The speed at the divisor the chip holds (N = 2 here), never a made-up 0.
    chip.write(0x20, 0x40)
    speed = chip.decode(0x08, 100)["Speed"]
    assert speed == 3375 and type(speed) is int
    # A full count is a bound at the divisor, whether the fan stands or creeps.
    assert chip.decode(0x08, 0xFF) == {"Speed": (255, "below 1324 RPM")}
    assert chip.decode(0x08, 0x02) == {"Speed": None}
    assert chip.decode(0x10, 100) == {"Minimum speed": 3375}
    assert chip.decode(0x10, 0x00) == {"Minimum speed": None}


def test_decode_gives_single_bits_as_bools_and_wider_fields_as_ints(chip):
    fields = chip.decode(0x00, 0x89)
    assert fields["Monitor"] is True and fields["INT Enable"] is False and fields["PWM Invert"] is True
    assert fields["Auto/SW Ctrl"] is True
    assert fields["PWM Mode"] == 0 and type(fields["PWM Mode"]) is int
    assert chip.decode(0x24, 0x53) == {"Trange": 3, "Tmin": 10}
    # Listed with plain names, split all the same.
    assert chip.decode(0x26, 0x53) == {"Trange": 3, "Tmin": 10}


def test_readings(chip):
    temps = chip.temperatures()
    assert list(temps) == ["local", "remote1", "remote2"]
    assert all(15 < t < 60 for t in temps.values())
    assert list(chip.fans()) == ["fan1", "fan2"]
    assert all(isinstance(v, int) and v >= 0 for v in chip.fans().values())
    assert isinstance(chip.alarms(), list)


def test_sample_has_the_keys_of_a_monitor_json_line(chip):
    line = run_cli("monitor", "--json", "--count", "1").stdout.splitlines()[0]
    expected = json.loads(line)
    got = chip.sample()
    assert list(got) == list(expected)
    for key in ("local", "remote1", "remote2", "fan1", "fan2"):
        assert list(got[key]) == list(expected[key])
    assert got["chip"] == "TFM4411" and got["address"] == "0x2e"
    shared = os.environ.get("FANSCOPE_PY_BOARD") == "shared"
    assert got["board"].startswith("simulated board (shared, " if shared else "simulated board (default")


def test_save_recall_and_diff_round_trip(chip, tmp_path):
    path = tmp_path / "regs.txt"
    chip.write(0x14, 0x40)
    chip.save(path)
    assert chip.diff(path) == {}
    chip.write(0x14, 0x41)
    assert chip.diff(str(path)) == {0x14: (0x41, 0x40)}
    assert chip.recall(path, dry_run=True) == {0x14: (0x41, 0x40)}
    assert chip.read(0x14) == 0x41
    assert chip.recall(path) == {0x14: (0x41, 0x40)}
    assert chip.read(0x14) == 0x40
    # The file is the program's: the command line reads it.
    assert run_cli("diff", str(path)).returncode in (0, 1)


def test_generate_from_the_chip_and_from_a_file(chip, tmp_path):
    chip.write(0x14, 0x40)
    path = tmp_path / "regs.txt"
    chip.save(path)
    setup = tmp_path / "setup.json"
    setup.write_text(chip.generate("json"))
    doc = json.loads(setup.read_text())
    assert (doc["header"]["variant"], doc["header"]["address"]) == ("TFM4411", 0x2E)
    assert doc["registers"][-1]["name"] == "Configuration 1"
    assert {r["register"]: r["value"] for r in doc["registers"]}[0x14] == 0x40
    assert "from file regs.txt" in chip.generate("sh", path)
    chip.write(0x14, 0x41)
    assert chip.recall(setup) == {0x14: (0x41, 0x40)}
    assert chip.diff(path) == {}
    chip.write(0x0E, 0x70)  # bits no chip keeps
    try:
        with pytest.raises(ValueError, match=r"Remote1 Temp Offset \(0Eh\) holds 70h"):
            chip.generate("c")
    finally:
        chip.write(0x0E, 0x00)
    with pytest.raises(ValueError, match="format 'rust'"):
        chip.generate("rust")


def test_a_bad_register_file_writes_nothing(chip, tmp_path):
    good = tmp_path / "good.txt"
    chip.save(good)
    lines = good.read_bytes().split(b"\r\n")
    # The last register line damaged: the registers before it must not be written.
    bad = tmp_path / "bad.txt"
    last = max(i for i, l in enumerate(lines) if l.endswith(b"h"))
    lines[last] = lines[last][:-3] + b"XYh"
    bad.write_bytes(b"\r\n".join(lines))
    chip.write(0x14, 0x33)
    before = chip.dump()
    with pytest.raises(ValueError, match=r"bad\.txt: .*line"):
        chip.recall(bad)
    assert chip.dump()[0x14] == 0x33
    assert {k: v for k, v in chip.dump().items() if k not in (0x02, 0x03, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x06)} == \
        {k: v for k, v in before.items() if k not in (0x02, 0x03, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x06)}
    with pytest.raises(ValueError, match="nothing.txt"):
        chip.diff(tmp_path / "nothing.txt")


def test_out_of_range_arguments_are_value_errors_with_the_clis_sentences(chip):
    cases = [
        (lambda: chip.read(0x04), r"the chip has no register 0x04 \(dump lists them\)"),
        (lambda: chip.read(0x100), "register 0x100 is more than 0xff"),
        (lambda: chip.read("Fan3 Speed"), "unknown register 'Fan3 Speed'"),
        (lambda: chip.write(0x14, 0x1FF), "value 0x1ff is more than 0xff"),
        (lambda: chip.write(0x14, -1), "value -1 is negative"),
        (lambda: chip.write(0x14, 1, mask=0x100), "mask 0x100 is more than 0xff"),
        (lambda: chip.write(0x3D, 0x30), r"register 0x3d \(Device ID\) is read-only"),
        (lambda: fanscope.open(address=0x5C), "0x5C is the 8-bit form of 0x2E; give the 7-bit address"),
        (lambda: fanscope.open(address=0x80), r"address 0x80 is not a 7-bit address \(0x03..0x77\)"),
        (lambda: fanscope.detect("usb"), "unknown medium 'usb'"),
    ]
    for call, sentence in cases:
        with pytest.raises(ValueError, match=sentence):
            call()
    with pytest.raises(TypeError):
        chip.read(1.5)


def test_an_absent_address_is_oserror_enxio():
    with pytest.raises(OSError) as e:
        fanscope.open("i2c", bus=1, address=0x2C)
    assert e.value.errno == 6 and "no TFM4410 or TFM4411 found at 0x2c on i2c-1" in str(e.value)
    with pytest.raises(OSError) as e:
        fanscope.open(address=0x2C)
    assert e.value.errno == 6 and "no TFM4410 or TFM4411 found at 0x2c" in str(e.value)
    # The failed search left the port in the other data sense; a session puts it back.
    fanscope.open().close()
    with pytest.raises(FileNotFoundError):
        fanscope.detect(bus="no such adapter")


def test_a_closed_chip_refuses_calls():
    chip = fanscope.open()
    chip.close()
    chip.close()
    assert chip.closed and "closed" in repr(chip)
    with pytest.raises(ValueError, match="closed"):
        chip.read(0x3D)


def test_help_reads_well():
    text = pydoc.render_doc(fanscope, renderer=pydoc.plaintext)
    for words in ("ChipGoneError", "def open", "monitor --json", "dry_run", "read_byte_data", "errno ENXIO"):
        assert words.replace("def ", "") in text
    stubs = open(os.path.join(os.environ["FANSCOPE_BINARY_DIR"], "python", "fanscope.pyi")).read()
    for name in ("detect", "open", "Chip", "SMBus", "ChipGoneError", "ChipInfo", "__version__"):
        assert name in dir(fanscope) and name in stubs
