#!/usr/bin/env python3
"""A script written for smbus2, run on the chip through fanscope.SMBus.

Only the import differs from an smbus2 script. Reads the chip's identity on
kernel adapter i2c-1, sets the local high limit and reads it back.
"""
try:
    from fanscope import SMBus
except ImportError:  # the same script with smbus2 and a real adapter
    from smbus2 import SMBus

ADDRESS = 0x2E
DEVICE_ID, COMPANY_ID, LOCAL_HIGH_LIMIT = 0x3D, 0x3E, 0x14

with SMBus(1) as bus:
    device_id = bus.read_byte_data(ADDRESS, DEVICE_ID)
    company = bus.read_byte_data(ADDRESS, COMPANY_ID)
    print("device id 0x%02x, company 0x%02x" % (device_id, company))
    old = bus.read_byte_data(ADDRESS, LOCAL_HIGH_LIMIT)
    bus.write_byte_data(ADDRESS, LOCAL_HIGH_LIMIT, 60)
    print("local high limit %d -> %d" % (old, bus.read_byte_data(ADDRESS, LOCAL_HIGH_LIMIT)))
    try:
        bus.read_byte_data(0x2C, DEVICE_ID)
    except OSError as e:
        print("nothing at 0x2c: errno %d" % e.errno)
