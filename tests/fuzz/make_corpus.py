#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora: a few tiny inputs per target, each a case the code treats
apart. Run by hand when a case is added; the files are committed.
    tests/fuzz/make_corpus.py"""
import io
import os
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
RECORDS = b"S00600004844521B\r\nS1130000285F245F2212226A000424290008237C2A\r\nS9030000FC\r\n"
# Unix file types in the high half of a ZIP entry's external attributes.
REGULAR, LINK = 0o100644 << 16, 0o120777 << 16


def package(entries, compression=zipfile.ZIP_DEFLATED):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", compression) as archive:
        for name, data, attributes in entries:
            info = zipfile.ZipInfo(name, date_time=(2024, 5, 1, 12, 0, 0))
            info.external_attr = attributes
            info.compress_type = compression
            archive.writestr(info, data)
    return out.getvalue()


def firmware(name, content):
    # FuzzedDataProvider's string: a backslash and any other byte end the name.
    return name.encode() + b"\\\n" + content


CORPORA = {
    "fuzz_package": {
        "two_boards.vkt": package([("MAIN_1.s", RECORDS, REGULAR), ("GRID_1.s", RECORDS, REGULAR)]),
        "stored.vkt": package([("CAN_2.s", RECORDS, REGULAR)], zipfile.ZIP_STORED),
        "nested.vkt": package([("boards/", b"", 0o40755 << 16), ("boards/LOAD_1.s", RECORDS, REGULAR)]),
        "link.vkt": package([("PV_1.s", b"/etc/passwd", LINK)]),
        "step_up.vkt": package([("../BAT_1.s", RECORDS, REGULAR)]),
        "repeated.vkt": package([("TFT.s", RECORDS, REGULAR), ("tft.S", RECORDS, REGULAR)]),
        "read_only.vkt": package([("EVENT.s", RECORDS, 0o100444 << 16)]),
        "empty.vkt": package([]),
        "truncated.vkt": package([("MAIN_1.s", RECORDS, REGULAR)])[:60],
        # Python's zipfile cuts a name at NUL, so the NUL is put in afterwards.
        "nul_in_name.vkt": package([("MAIN_1.s", RECORDS, REGULAR), ("GRID_2.s~x", RECORDS, REGULAR)]).replace(
            b"GRID_2.s~x", b"GRID_2.s\0x"),
    },
    # The messages come first; the stage and the link are read off the end, as FuzzedDataProvider
    # takes numbers from the back: stage (0 port open .. 4 sending), then the link (odd: UART).
    "fuzz_engine": {
        "whole_file": b"#B_PR\x32#B_PR\x5f#B_ENV#B_BOK" + bytes([0, 4]),
        "reset": b"#B_ENV#B_RST#B_BOK" + bytes([1, 4]),
        "failure": b"#B_PR\x0a#B_FRC" + bytes([0, 3]),
        "before_consent": b"#B_USB#B_MAX" + bytes([0, 1]),
        "conditions": b"TimeOutSerial_InterruptedConectado" + bytes([0, 2]),
    },
    # Each event is a kind (a byte) and what it carries; the shell's answers take bits from the back.
    "fuzz_session": {
        "consent_and_data": bytes([28, 0, 2, 1, 0, 21, 0, 23, 0, 0, 2, 0, 1, 0, 16, 0, 16]),
        "idle_noise": bytes([7, 3]) + b"\xff\x00#B",
    },
    "fuzz_firmware": {
        "sound": firmware("MAIN_1.s", RECORDS),
        "after_last_cr": firmware("grid.s19", RECORDS + b"S9"),
        "lf_only": firmware("bootloader_LOAD", RECORDS.replace(b"\r\n", b"\n")),
        "nul": firmware("CAN", b"S1\x00\r\n"),
        "no_board": firmware("firmware.s", RECORDS),
        "not_records": firmware("DISPLAY", b":10000000\r\n"),
    },
}

for target, inputs in CORPORA.items():
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name, data in inputs.items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)
