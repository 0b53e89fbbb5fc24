#!/usr/bin/env python3
"""Sweep fan 1's duty cycle and write the speed it reaches at each step to a CSV file.

    python3 duty_sweep.py [OUTPUT.csv]     (default: duty_sweep.csv)

On the simulated board by default; see docs/user-guide.md, "Python".
"""
import csv
import sys
import time

import fanscope

SETTLE_S = 3.0  # the fan's speed settles within a few seconds

path = sys.argv[1] if len(sys.argv) > 1 else "duty_sweep.csv"
with fanscope.open() as chip, open(path, "w", newline="") as out:
    writer = csv.writer(out)
    writer.writerow(["duty_percent", "fan1_rpm", "local_c"])
    # Software control: automatic control and RPM feedback off (bits 7, 6, 5),
    # PWM inverted (bit 3) for the evaluation board's fan stage.
    chip.write("Configuration 1", 0x08, mask=0xE8)
    # From full speed down: a fan started from standstill runs at full speed
    # for its spin-up time first, which would disturb the low steps.
    for code in range(15, -1, -3):
        chip.write("Fan Speed Configuration", code, mask=0x0F)  # fan 1's duty code
        time.sleep(SETTLE_S)
        s = chip.sample()
        writer.writerow([s["fan1"]["pwm_percent"], s["fan1"]["rpm"], s["local"]["celsius"]])
print("wrote", path)
