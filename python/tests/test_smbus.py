"""fanscope.SMBus: smbus2's interface on every medium of the process's own board."""
import pytest

import fanscope
from fanscope import SMBus

CHIP, ABSENT = 0x2E, 0x2C


@pytest.mark.parametrize("opening", [lambda: SMBus(1), lambda: SMBus("i2c-1"), lambda: SMBus(medium="printer")])
def test_byte_data_on_each_medium(opening):
    with opening() as bus:
        assert bus.read_byte_data(CHIP, 0x3D) == 0x31
        bus.write_byte_data(CHIP, 0x15, 0x07)
        assert bus.read_byte_data(CHIP, 0x15) == 0x07
        with pytest.raises(OSError) as e:
            bus.read_byte_data(ABSENT, 0x3D)
        assert e.value.errno == 6
        # On the printer port the failed search for ABSENT ends in the
        # non-inverting data sense, whose idle levels hold the board's lines
        # low for the adapter that shares them until the next transfer in
        # the standard sense.
        assert bus.read_byte_data(CHIP, 0x3D) == 0x31
    assert bus.closed
    with pytest.raises(ValueError, match="closed"):
        bus.read_byte_data(CHIP, 0x3D)


def test_word_and_block_transfers_on_the_adapter():
    with SMBus(1) as bus:
        bus.write_byte_data(CHIP, 0x14, 0x46)
        bus.write_byte_data(CHIP, 0x15, 0x05)
        # Low byte first: register 0x14 low, 0x15 high.
        assert bus.read_word_data(CHIP, 0x14) == 0x0546
        bus.write_word_data(CHIP, 0x14, 0x0A40)
        assert (bus.read_byte_data(CHIP, 0x14), bus.read_byte_data(CHIP, 0x15)) == (0x40, 0x0A)
        block = bus.read_block_data(CHIP, 0xA1)
        assert isinstance(block, list) and all(0 <= b <= 0xFF for b in block)
        bus.pec = True
        assert bus.pec
        bus.read_block_data(CHIP, 0xA1)
        # The chip's pointer: a receive byte reads the register last pointed at.
        bus.write_byte(CHIP, 0x3D)
        assert bus.read_byte(CHIP) == 0x31


def test_word_on_the_printer_port_reads_like_the_adapter():
    with SMBus(medium="printer") as printer, SMBus(1) as adapter:
        printer.write_byte_data(CHIP, 0x14, 0x33)
        printer.write_byte_data(CHIP, 0x15, 0x02)
        assert printer.read_word_data(CHIP, 0x14) == adapter.read_word_data(CHIP, 0x14) == 0x0233
        with pytest.raises(OSError, match="block read sends command 0xa1"):
            printer.read_block_data(CHIP, 0x10)


def test_arguments_out_of_range():
    with SMBus(1) as bus:
        for call, sentence in [
            (lambda: bus.read_byte_data(0x80, 0), r"address 0x80 is not a 7-bit address"),
            (lambda: bus.read_byte_data(CHIP, 0x100), "register 0x100 is more than 0xff"),
            (lambda: bus.write_byte_data(CHIP, 0x14, 256), "value 0x100 is more than 0xff"),
            (lambda: bus.write_word_data(CHIP, 0x14, 0x10000), "is not a word"),
            (lambda: bus.write_block_data(CHIP, 0xA0, []), "1 to 32 bytes"),
        ]:
            with pytest.raises(ValueError, match=sentence):
                call()
    with pytest.raises(FileNotFoundError):
        SMBus(7)
    with pytest.raises(ValueError, match="unknown medium"):
        SMBus(medium="usb")


def test_the_chipset_smbus_makes_byte_transfers_only():
    # The default motherboard carries no chip: nothing answers there.
    with SMBus(medium="smbus") as bus:
        with pytest.raises(OSError) as e:
            bus.read_byte_data(CHIP, 0x3D)
        assert e.value.errno == 6
