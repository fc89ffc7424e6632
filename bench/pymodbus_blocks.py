#!/usr/bin/env python3
# The Python peer of bench_transport: a pymodbus RTU master on the virtual IO board's line that
# reads the same three status blocks as the transport's polling thread (99/21, 199/14, 299/38),
# back to back, for a given time, and prints "blocks_per_second N".
# Usage: pymodbus_blocks.py LINE SECONDS. Exit 3 when pymodbus is not installed, 1 on a failed read.
import sys
import time

BLOCKS = ((99, 21), (199, 14), (299, 38))


def make_client(line):
    try:
        from pymodbus.client import ModbusSerialClient  # pymodbus 3

        # Whole seconds: this version cuts the time-out to an int, and 0.5 would mean no wait.
        return ModbusSerialClient(port=line, baudrate=57600, timeout=1), "slave"
    except ImportError:
        pass
    try:
        from pymodbus.client.sync import ModbusSerialClient  # pymodbus 2

        return ModbusSerialClient(method="rtu", port=line, baudrate=57600, timeout=1), "unit"
    except ImportError:
        sys.exit(3)


def main():
    line, seconds = sys.argv[1], float(sys.argv[2])
    client, slave_keyword = make_client(line)
    if not client.connect():
        print("cannot open", line)
        return 1
    unit = {slave_keyword: 1}
    for start, count in BLOCKS:  # warm-up, and a check that the board answers
        reply = client.read_holding_registers(start, count, **unit)
        if reply.isError() or len(reply.registers) != count:
            print("read of", start, count, "failed:", reply)
            return 1
    done = 0
    begin = time.monotonic()
    while time.monotonic() - begin < seconds:
        for start, count in BLOCKS:
            reply = client.read_holding_registers(start, count, **unit)
            if reply.isError() or len(reply.registers) != count:
                print("read of", start, count, "failed:", reply)
                return 1
            done += 1
    elapsed = time.monotonic() - begin
    client.close()
    print("blocks_per_second %.1f" % (done / elapsed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
