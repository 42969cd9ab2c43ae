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


PUBLIC_KEY = b"""untrusted comment: minisign public key A70D1132597705E3
RWTjBXdZMhENp1YtALizgsnJVUAQ2XEVm6iiBrLGBimW1v7BvQQf+Hb2
"""
SECRET_KEY = b"""untrusted comment: minisign encrypted secret key
RWQAAEIyAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA4wV3WTIRDad3Hy0WEpw/Uz5jcbD7k2Hmr5A50Wai9CdClvr\
y60eOYVYtALizgsnJVUAQ2XEVm6iiBrLGBimW1v7BvQQf+Hb2AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=
"""
SEALED_SECRET_KEY = b"""untrusted comment: minisign encrypted secret key
RWRTY0Iy1QRGslx4qT6NWa9U4XgWKU/wmUpFV8MBa5b9g5IwIHIAAAACAAAAAAAAAEAAAAAAH6vsXZxL0/ZmDygRZGP1254JK905gSnjfR/7nM3Jkqrc42\
m9qdt2KcLz6wZvEr9YZznN2OBSlQH7pn1l2MvSx91YHej01u7B3EnfT2plb+kRAE7EZzJsCtw/8upDf6bcp8JNqU+v8dU=
"""
SIGNATURE = b"""untrusted comment: signature from minisign secret key
RUTjBXdZMhENp5K85dhnPTVYnOSHCdkpSBubGsqtRQJy0wjyJex/B35nBf48nkCAbQg3uqmkqxrcPDWdEFrAPcpqSJTEBJJyNAs=
trusted comment: equipment test
qqiH5RWtOVEMc1BT85EVnJQo3B67oi4JnARakfVJcMnf0UjakqUgtJZ6sWsvmGxyRb/nRBhQJIzhqHEQLH/7Bw==
"""
LEGACY_SIGNATURE = b"""untrusted comment: signature from minisign secret key
RWTjBXdZMhENp5H/nxT3+PT0F768O5bogY65XzZn1bPmfmshc7Ipty8aSA8vhX70vPfUn7TGxO2M41In+nk3gd1ahl+6uM5lmAg=
trusted comment: timestamp:1796800710\tfile:f.vkt
Hhm+G9bG0Je8aF3EXIdxEcIr4R+SO26aO7XGbBIefoWBdJAgLGLs+upDg2sw8VnCBSoMQ2rLA+uxmTOssTVjDA==
"""

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
        "noise_and_a_token": b"\xff\x00TimeOut#B_USB" + bytes([0, 2]),
    },
    # Each event is a kind (a byte) and what it carries; the shell's answers take bits from the back.
    "fuzz_session": {
        "consent_and_data": bytes([28, 0, 2, 1, 0, 21, 0, 23, 0, 0, 2, 0, 1, 0, 16, 0, 16]),
        "idle_noise": bytes([7, 3]) + b"\xff\x00#B",
    },
    # The first byte picks the file's kind: 0 public key, 1 signature, 2 secret key, 3 revocation list. The key is a
    # throwaway made by the stock minisign -G -W; its signatures cover the fuzz target's package, b"hello\\n".
    "fuzz_signature": {
        "public_key": b"\x00" + PUBLIC_KEY,
        "signature": b"\x01" + SIGNATURE,
        "legacy_signature": b"\x01" + LEGACY_SIGNATURE,
        "signature_crlf": b"\x01" + SIGNATURE.replace(b"\n", b"\r\n"),
        "secret_key": b"\x02" + SECRET_KEY,
        "sealed_secret_key": b"\x02" + SEALED_SECRET_KEY,
        "revocations": b"\x03# retired\nA70D1132597705E3\n\n  a70d1132597705e3 # again\n",
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
