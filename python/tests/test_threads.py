"""The GIL is released during bus I/O, and one Chip used from two threads
never interleaves a transaction."""
import sys
import threading
import time

import fanscope


def test_another_thread_runs_during_a_long_dump():
    chip = fanscope.open()
    ticks = 0
    stop = False

    def counter():
        nonlocal ticks
        while not stop:
            ticks += 1
            time.sleep(0.0002)

    # With a long switch interval the counter gets the GIL only when the
    # dumping thread lets go of it: inside the dump, or not at all.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(5.0)
    thread = threading.Thread(target=counter)
    thread.start()
    try:
        time.sleep(0.01)
        # Dumps back to back until the counter moved inside one (a busy
        # machine may not schedule it within the first few).
        advanced = 0
        deadline = time.monotonic() + 3.0
        while advanced == 0 and time.monotonic() < deadline:
            before = ticks
            chip.dump()
            advanced += ticks - before
    finally:
        stop = True
        sys.setswitchinterval(interval)
        thread.join()
        chip.close()
    assert advanced > 0


def test_one_chip_from_two_threads_keeps_each_masked_write_whole():
    chip = fanscope.open()
    chip.write(0x22, 0x00)
    errors = []

    def toggle(mask):
        try:
            for n in range(150):
                chip.write(0x22, mask if n % 2 == 0 else 0, mask=mask)
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=toggle, args=(m,)) for m in (0x0F, 0xF0)]
    for t in threads:
        t.start()
    # An interleaved read-modify-write would write back the other thread's
    # stale half; each thread's last write leaves its half cleared.
    for t in threads:
        t.join()
    assert errors == []
    assert chip.read(0x22) == 0x00
    # And set: both halves must survive the other thread's writes.
    threads = [threading.Thread(target=lambda m=m: [chip.write(0x22, m, mask=m) for _ in range(100)])
               for m in (0x0F, 0xF0)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert chip.read(0x22) == 0xFF
    chip.close()


def test_two_chips_on_two_threads():
    results = {}

    def work(name, medium):
        with fanscope.open(medium, **({"bus": 1} if medium == "i2c" else {})) as chip:
            results[name] = [chip.read(0x3D) for _ in range(100)]

    threads = [threading.Thread(target=work, args=("printer", "printer")),
               threading.Thread(target=work, args=("i2c", "i2c"))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == {"printer": [0x31] * 100, "i2c": [0x31] * 100}
