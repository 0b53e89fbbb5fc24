#!/usr/bin/env python3
"""Print a few readings of the first chip found, one line each.

    python3 monitor.py [COUNT]    (default: 3 readings, one a second)
"""
import sys
import time

import fanscope

count = int(sys.argv[1]) if len(sys.argv) > 1 else 3
with fanscope.open() as chip:
    print("%s at 0x%02x on the %s%s" % (chip.variant, chip.address, chip.medium,
                                        " (simulated)" if chip.simulated else ""))
    for n in range(count):
        if n:
            time.sleep(1)
        temps = ", ".join("%s %s" % (k, "open" if v is None else "%.2f °C" % v)
                          for k, v in chip.temperatures().items())
        fans = ", ".join("%s %d RPM" % kv for kv in chip.fans().items())
        alarms = chip.alarms()
        print("%s; %s; alarms: %s" % (temps, fans, ", ".join(alarms) or "none"))
