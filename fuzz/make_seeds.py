#!/usr/bin/env python3
"""Writes the starting inputs of the fuzz targets into fuzz/seeds/<target>/: real bus events of
every oven manager request, bridge requests, valid CPI replies, the sample settings files, console
lines and format descriptors. Run from anywhere; the files it writes are kept in the repository."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def event(name, data=b"", target="", fmt=""):
    """One IO channel message (host order = little endian on the boards and here)."""
    strings = b"".join(s.encode() + b"\0" for s in (name, target, fmt))
    padding = (-len(strings)) % 8
    total = 12 + len(strings) + padding + len(data)
    head = struct.pack("<IHHHH", total, len(name) + 1, len(target) + 1, len(fmt) + 1, 0)
    return head + strings + b"\0" * padding + data


def ints(*values):
    return struct.pack("<%di" % len(values), *values)


def u16s(*values):
    return struct.pack("<%dH" % len(values), *values)


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def cpi_reply(slave, file, block):
    head = struct.pack(">BBHH", slave & 0xFF, 0x41, file, block)
    crc = crc16(head)
    return head + bytes([crc & 0xFF, crc >> 8])


def write(target, name, content):
    folder = os.path.join(HERE, "seeds", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(content if isinstance(content, bytes) else content.encode())


def main():
    example = event("modbus_ret", b"1234\0", fmt="1s0 modbus_read_data")
    assert len(example) == 57
    write("fuzz_vix_io_unserialize", "example_57", example)
    write("fuzz_vix_io_unserialize", "empty_event", event(""))
    write("fuzz_vix_io_unserialize", "targeted",
          event("zeb.varlo.power_onoff", ints(1), target="zeb_backend", fmt="4s1 value"))

    component = b"dravik_kor_board".ljust(255, b"\0")
    requests = {
        "register": ("zeb.varlo.register", ints(1) + b"zeb_ui\0", "4s1 value 1s0 channel"),
        "target_temperature": ("zeb.varlo.set_target_temperature", ints(475), "4s1 temperature"),
        "belt_cook_time": ("zeb.varlo.set_belt_cook_time", ints(1, 300), "4s1 belt 4s1 time"),
        "fan_speed": ("zeb.varlo.set_target_fan_speed", ints(2, 80), "4s1 fan 4s1 percent"),
        "photo_cell": ("zeb.varlo.photo_cell_enable", ints(1), "4s1 enable"),
        "power_on": ("zeb.varlo.power_onoff", ints(1), "4s1 value"),
        "power_off": ("zeb.varlo.power_onoff", ints(0), "4s1 value"),
        "serial_number": ("zeb.varlo.serial_number_changed", b"", ""),
        "menu_preset": ("zeb.varlo.menu_preset_changed", ints(1) + b"Pizza 12\0",
                        "4s1 belt 1s0 name"),
        "config_setting": ("zeb.varlo.config_setting_changed", ints(30, 450),
                           "4s1 setting 4s1 value"),
        "factory_reset_start": ("zeb.varlo.factory_reset_start", b"", ""),
        "factory_reset_end": ("zeb.varlo.factory_reset_end", ints(1), "4s1 outcome"),
        "firmware": ("zeb.update.firmware.available", component + b"/tmp/io_board.bin\0",
                     "1s255 component 1s0 path"),
        "idle_mode": ("zeb.varlo.idle_mode_onoff", ints(1, 300, 300, 60, 60, 60, 60),
                      "4s7 values"),
        "demo_mode": ("zeb.varlo.demo_mode_onoff", ints(1), "4s1 value"),
    }
    for seed, (name, data, fmt) in requests.items():
        # Firmware offers count only from the update service's channel.
        sender = "zeb_update" if seed == "firmware" else "zeb_ui"
        write("fuzz_bus_dispatch", seed, event(name, data, target=sender, fmt=fmt))

    bridge = {
        "read": event("modbus_r", u16s(100, 4)),
        "read_status": event("modbus_r", u16s(999, 1)),
        "write": event("modbus_p", u16s(200, 2, 7, 8)),
        "transfer": event("modbus_ft"),
        "sys": event("sys", u16s(0, 0)),
        "input_read": event("mb_ir", u16s(10, 3)),
        "write_read_back": event("mb_const_rw", u16s(300, 3, 1, 2, 3)),
    }
    for seed, content in bridge.items():
        write("fuzz_bridge_request", seed, content)

    for seed, (slave, file, block) in {"first_block": (1, 1, 0), "block_4660": (1, 2, 0x1234),
                                       "last": (247, 0xFFFF, 0xFFFF)}.items():
        write("fuzz_cpi_reply", seed, cpi_reply(slave, file, block))

    for target in ("fuzz_config_store",):
        for seed, path in {"settings_two_belts": "data/config/settings",
                           "settings_one_belt": "data/config/one_belt/settings"}.items():
            with open(os.path.join(ROOT, path), "rb") as f:
                write(target, seed, f.read())
        write(target, "edge_lines", "# comment\n\n  key = value  \r\nkey=last\n=x\nnum_belts = 9\n"
                                    "num_blowers = -1\nbelt_length = 1e40\n")

    write("fuzz_stat_store", "trackers", "powered_on = 3600\ncook_time = 120\n# kept\n")
    write("fuzz_stat_store", "average",
          "temp = 470\ntemp.sum = 940\ntemp.count = 2\ntemp.period_start = 1700000000\n")
    write("fuzz_stat_store", "broken", "powered_on = -4\n")

    write("fuzz_console_line", "read", "r 100\n")
    write("fuzz_console_line", "write", "w 100 42\nr 100\n!\n")
    write("fuzz_console_line", "update", "u /tmp/board.bin\nh\n")
    write("fuzz_console_line", "long", "w " + "9" * 300 + " 1\nr -2147483649\n")

    def fmt_seed(fmt, data):
        raw = fmt.encode()
        return bytes([len(raw)]) + raw + data

    write("fuzz_zeb_format", "ints", fmt_seed("4s1 value 4u1 count", ints(-5, 7)))
    write("fuzz_zeb_format", "string", fmt_seed("4s1 belt 1s0 name", ints(1) + b"Pizza\0"))
    write("fuzz_zeb_format", "arrays", fmt_seed("2u3 regs 4f2 temps 1s8 id",
                                                u16s(1, 2, 3) + struct.pack("<2f", 1.5, -2) +
                                                b"abc\0\0\0\0\0"))
    write("fuzz_zeb_format", "component", fmt_seed("1s255 component 1s0 path",
                                                   component + b"/tmp/x\0"))


if __name__ == "__main__":
    main()
