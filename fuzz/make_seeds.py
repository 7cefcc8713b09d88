#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/). The
seeds are the well-formed answers of a switch, so the fuzzer starts from
inputs that reach deep into each parser. Rerun after changing a target's
input layout; the container seeds of fuzz_pack_report are made by bmfwu-pack."""
import os
import struct
import zlib

SEP = b"\xfe"
ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def uu_char(v):
    v &= 0x3F
    return 0x60 if v == 0 else 0x20 + v


def uu_line(data):
    out = bytearray([uu_char(len(data))])
    for i in range(0, len(data), 3):
        g = data[i:i + 3] + b"\0" * (3 - len(data[i:i + 3]))
        out += bytes([uu_char(g[0] >> 2), uu_char(((g[0] & 3) << 4) | (g[1] >> 4)),
                      uu_char(((g[1] & 15) << 2) | (g[2] >> 6)), uu_char(g[2])])
    return bytes(out)


def read_answer(data):
    """The bootloader's answer to one R command: code, lines, checksum."""
    out = b"0\r\n"
    for i in range(0, len(data), 45):
        out += uu_line(data[i:i + 45]) + b"\r\n"
    return out + str(sum(data)).encode() + b"\r\n"


def table(second_form=True):
    t = bytearray(b"\xff" * 512)
    struct.pack_into("<II", t, 0, 146040, 0x03040000)
    t[8:40] = b"Sonavex F".ljust(32, b"\0")
    struct.pack_into("<I", t, 40, 0x1E3CA502 if second_form else 0x1E3CA501)
    t[44:48] = bytes([0, 0, 3, 0x56])
    struct.pack_into("<IIII", t, 48, 144, 0x1A000000, 512, 0)
    struct.pack_into("<I", t, 132, 0x1A000101)
    struct.pack_into("<I", t, 140, zlib.crc32(bytes(t[:140])))
    return bytes(t)


def write(target, name, data):
    folder = os.path.join(ROOT, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def isp(op, count, *answers):
    return bytes([op, count & 0xFF, count >> 8]) + SEP.join(answers)


def main():
    for name, text in [("full", b'^=V "Sonavex F" 3.03,86,3,1a'), ("letter", b'^=V "" 3.04b(beta),100,1,ff'),
                       ("sub", b'^=V "X" 1.2.3'), ("unclosed", b'^=V "Sonavex F'), ("keepalive", b"^+")]:
        write("fuzz_version_reply", name, text)

    write("fuzz_reply_scanner", "update", b"^!100,1,0$^!100,1,5$^=SZ1$^=P$^=V \"a\" 1.0$^!note$")
    write("fuzz_reply_scanner", "long", b"^!" + b"x" * 300 + b"$\x01\x80^=Px$")

    write("fuzz_uu_decode", "full", bytes([45]) + uu_line(bytes(range(45))))
    write("fuzz_uu_decode", "short", bytes([3]) + uu_line(b"\x01\x02\x03\x04\x05"))
    write("fuzz_uu_decode", "spaces", bytes([45]) + b"M    ")

    write("fuzz_line_reader", "sync", bytes([20, 0]) + b"Synchronized\r\nOK\r\n\x00\x81OK\r")
    write("fuzz_line_reader", "app", bytes([100, 1]) + b"^+$^=V \"Sonavex F\" 3.03,86,3,1a$")

    sync = [b"Synchronized\r\n", b"Synchronized\r\nOK\r\n", b"O\r\nOK\r\n", b"A 0\r\n0\r\n"]
    write("fuzz_isp_client", "sync", isp(0, 0, *sync))
    write("fuzz_isp_client", "sync-echo", isp(0, 0, b"^P$?\r\n1\r\n", b"A 0\r\n0\r\n"))
    write("fuzz_isp_client", "sync-app", isp(0, 0, b"^=P00$"))
    write("fuzz_isp_client", "unlock", isp(1, 0, b"0\r\n"))
    write("fuzz_isp_client", "go", isp(2, 0, b"0\r\n"))
    write("fuzz_isp_client", "compare", isp(6, 0, b"10\r\n16\r\n"))
    write("fuzz_isp_client", "partid", isp(7, 0, b"0\r\n2684471344\r\n68\r\n"))
    data = bytes((i * 7) & 0xFF for i in range(100))
    write("fuzz_isp_client", "read", isp(8, 100, read_answer(data)))
    big = bytes((i * 13) & 0xFF for i in range(1000))
    write("fuzz_isp_client", "read-two", isp(8, 1000, read_answer(big[:900]), read_answer(big[900:])))
    write("fuzz_isp_client", "write", isp(9, 90, b"0\r\n", b"", b"", b"RESEND\r\n", b"", b"", b"OK\r\n"))
    t = table()
    tail = bytes(512 - 0)
    write("fuzz_isp_client", "table", isp(10, 0, b"0\r\n2684471344\r\n0\r\n", read_answer(t[:508] + t[508:512]),
                                          b"", read_answer(tail)))
    write("fuzz_isp_client", "probe-app", isp(12, 0, b"^+$", b"^=V \"Sonavex F\" 3.03,86,3,1a$"))
    write("fuzz_isp_client", "version", isp(13, 0, b"^+$^+$^=V \"Sonavex F\" 3.03,86,3,1a$"))
    write("fuzz_isp_client", "drain", isp(14, 0, b"\x1b" * 200))

    write("fuzz_table", "second-form", bytes([0x0E]) + table() + bytes(range(256)))
    write("fuzz_table", "first-form", bytes([0x01]) + table(False))
    write("fuzz_table", "no-table", bytes([0x00]) + b"\xff" * 512)

    greeting = b"\xff\xfb\x03\xff\xfd\x03\xff\xfb\x01\xff\xfe\x01\xff\xfd\x00\xff\xfb\x00\xff\xfd\x2c"
    rate = b"\xff\xfa\x2c\x65\x00\x01\xc2\x00\xff\xf0"
    write("fuzz_telnet_decode", "greeting", bytes([0, 255]) + greeting + b"Port already in use\r\n")
    write("fuzz_telnet_decode", "rate", bytes([1, 7]) + b"stale" + rate + b"^=P00$\xff\xff")
    write("fuzz_telnet_decode", "notices", bytes([0, 3]) + b"\xff\xfa\x2c\x6a\x60\xff\xf0"
          b"\xff\xfa\x2c\x6b\x30\xff\xf0\xff\xfa\x2c\x6c\xff\xf0" b"OK\r\n\xff\xfa\x2c\x6d\xff\xf0")
    write("fuzz_telnet_decode", "unended", bytes([1, 40]) + b"\xff\xfa\x2c\x6a" + b"x" * 40 + b"\xff\xf1\xff")


if __name__ == "__main__":
    main()
