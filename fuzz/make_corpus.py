#!/usr/bin/env python3
"""Writes the seed corpus of both fuzz targets into fuzz/corpus/.

Receiver seeds follow the input layout of receiver_fuzz.cpp: one setup byte,
eight (size, event) steps, then the bytes from the line. Run from anywhere:
    python3 fuzz/make_corpus.py
"""
import os

HERE = os.path.dirname(os.path.abspath(__file__))
SOH, STX, ETX, ACK, NAK = 0x01, 0x02, 0x03, 0x06, 0x15

# Setup byte bits
OPEN, LOG_MODE, ADMIN, DEC_UNIT, BOXES_HOLD, IGNORE_CASH_OUT = 0x01, 0x02, 0x04, 0x08, 0x40, 0x80
# Event waits (bits 0-1)
W0, W1S, W2S, W120S = 0, 1, 2, 3

# Must match kButtons in FuzzInput.h (index + 1 is the event's button number).
BUTTONS = [1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008,
           1011, 1012, 1013, 1014, 1015, 1016, 1017, 1018,
           7002, 7003, 7004, 7027, 7028,
           1172, 1198, 1199, 1447, 1448, 1451, 1170, 1173,
           7000, 1019, 1288, 7001,
           1, 7022, 7023, 7025, 1044, 1114]


def response(letter, body=b""):
    f = bytes([SOH, ord("0"), STX, ord(letter)]) + body + bytes([ETX])
    bcc = 0
    for b in f:
        bcc ^= b
    return f + bytes([bcc])


def event(wait=W0, button=None):
    return wait | ((BUTTONS.index(button) + 1) << 2 if button else 0)


def receiver_seed(setup, steps, stream):
    steps = list(steps) + [(80, event())] * (8 - len(steps))
    head = bytes([setup])
    for size, ev in steps[:8]:
        head += bytes([(size - 1) % 80, ev])
    return head + stream


def sp(*values):
    return bytes(0x20 + v for v in values)


def nibbles(*values):
    out = b""
    for v in values:
        out += bytes([0x30 + (v >> 4), 0x30 + (v & 0xF)])
    return out


# One well-formed answer per letter, and the button that asks for it.
# Dispense answer, positions 4..26: error, sequence, four (dispensed, rejected,
# requested) triples, six reject reasons, a spare byte and PICK.
DISPENSE = sp(0, 5) + sp(2, 0, 2) + sp(0, 0, 0) + sp(1, 1, 1) + sp(0, 0, 0) + sp(0, 0, 0, 0, 0, 0) + sp(0, 0, 0)
ANSWERS = [
    (1006, "P", sp(0) + b"\x00\x1e\x00" + (b"\x07" + b"1" + sp(40, 80)) * 4),
    (1002, "Q", sp(0) + sp(5) + sp(0, 0, 0) * 4 + b" "),
    (1001, "R", DISPENSE),
    (1003, "S", DISPENSE),
    (1005, "p", DISPENSE),
    (1004, "U", sp(0, 0, 5) + sp(2, 0, 0) * 4 + sp(0, 0, 0, 0, 0, 0, 0, 0, 0)),
    (1451, "W", sp(0, 40, 90, 60, 65)),
    (1011, "X", sp(0, 3, 200, 60, 65)),
    (1008, "Z", sp(0)),
    (1018, "^", sp(0)),
    (1007, "[", sp(0) + nibbles(0x40, 0x41, 0x42, 0x43)),
    (1017, "_", sp(0) + nibbles(200, 201, 202, 203)),
    (1198, "c", sp(0) + b"QL-1234-0042"),
    (1199, "b", b""),
    (1447, "u", sp(0) + b"LD  1.02 " + sp(15, 6) + b"15"),
    (1448, "v", sp(0) + b"FW  2.10 " + sp(20, 11) + b"18"),
    (1012, "w", sp(*range(32))),
    (1014, "q", sp(0) + b'"' + b"0123"),
    (1015, "q", sp(0) + b"#" + nibbles(12, 34)),
    (1016, "q", sp(0) + b"0" + b"ROM1" + b"12AB"),
    (7004, "q", sp(0) + b"1" + sp(3) + b" " + nibbles(0) + b"  " + nibbles(77)),
    (7027, "q", sp(0) + b"5" + sp(3) + b" " + nibbles(0) + b"  " + nibbles(42)),
    (1170, "r", b""),
    (1172, "t", sp(0)),
    (1173, "D", b""),
]


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def receiver_corpus():
    g = response("g", sp(0, 7))
    for button, letter, body in ANSWERS:
        frame = response(letter, body)
        stream = bytes([ACK]) + g + bytes([ACK]) + frame
        name = "answer-%s-%d" % ("x%02X" % ord(letter) if not letter.isalnum() else letter, button)
        write("receiver", name, receiver_seed(OPEN | ADMIN, [(80, event(W0, button))], stream))
        if letter not in "RPwq~":
            continue
        # The same in pieces of 1, 3 and 5 bytes, with boxes open for 1.5 s.
        write("receiver", name + "-split",
              receiver_seed(OPEN | ADMIN | BOXES_HOLD, [(1, event(W0, button)), (3, event()), (5, event())], stream))
    # Device errors: dispense answer with an error byte, and an unknown code.
    err = response("R", sp(0x0D) + DISPENSE[1:])
    unknown = response("P", bytes([0xFF]) + sp(0) * 18)
    write("receiver", "device-errors",
          receiver_seed(OPEN, [(80, event(W0, 1001))], bytes([ACK]) + err + bytes([ACK]) + unknown))
    # FSNR in a run of two, then the run ends.
    fsnr = response("R", DISPENSE[:17] + sp(1) + DISPENSE[18:])  # position 21
    write("receiver", "fsnr-run",
          receiver_seed(OPEN | 0x10, [(len(fsnr) + 1, event(W0, 1001)), (80, event(W1S))], bytes([ACK]) + fsnr))
    # A run of two with log mode: dispense, log, dispense, log.
    r = bytes([ACK]) + response("R", DISPENSE)
    log = bytes([ACK]) + response("~", bytes(range(0x20, 0x20 + 72)))
    write("receiver", "log-run",
          receiver_seed(OPEN | LOG_MODE | 0x10,
                        [(len(r), event(W0, 1001)), (len(log), event(W2S)), (len(r), event(W1S)),
                         (len(log), event(W2S))], r + log + r + log))
    # Bad BCC, then the resend; noise and stray ACKs between frames; a runaway frame.
    good = response("P", sp(0) * 19)
    bad = good[:-1] + bytes([good[-1] ^ 0x55])
    write("receiver", "nak-resend", receiver_seed(OPEN, [(80, event(W0, 1006))], bytes([ACK]) + bad + good))
    write("receiver", "noise", receiver_seed(OPEN, [(7, event(W0, 1006)), (13, event())],
                                             bytes([ACK, 0x00, 0xFF, 0x55, ACK, NAK, 0x03]) + good + b"\x7f\x80" + good))
    write("receiver", "runaway", receiver_seed(OPEN, [(80, event())], bytes([ACK, SOH]) + b"A" * 300))
    # No ACK: retransmissions and the ACK failure; then OPEN again.
    write("receiver", "ack-timeout",
          receiver_seed(OPEN, [(1, event(W1S)), (1, event(W1S)), (1, event(W1S)), (1, event(W1S, 1)),
                               (80, event())], b"\x00\x00\x00\x00" + bytes([ACK]) + g))
    # Response time-out, then a late answer; admin mode and the unit switch.
    write("receiver", "late-answer",
          receiver_seed(OPEN | ADMIN | DEC_UNIT, [(1, event(W0, 1017)), (80, event(W120S)), (80, event(W0, 7023))],
                        bytes([ACK]) + response("_", sp(0) + nibbles(200, 201, 202, 203)) +
                        bytes([ACK]) + response("X", sp(0, 3, 200, 60, 65))))
    # A download block answer (the image in memory; no file involved).
    write("receiver", "block-answer",
          receiver_seed(OPEN, [(80, event(W0, 1170))], bytes([ACK]) + response("r") + response("s", sp(0))))
    # Not connected: answers are acknowledged and ignored.
    write("receiver", "not-connected", receiver_seed(0, [], good))


def loader_corpus():
    def hex_record(address, rtype, data):
        raw = bytes([len(data), address >> 8, address & 0xFF, rtype]) + data
        return ":" + raw.hex().upper() + "%02X" % ((-sum(raw)) & 0xFF)

    data = [hex_record(0x0000 + 16 * i, 0, bytes((i * 16 + k) & 0xFF for k in range(16))) for i in range(8)]
    # A base address first and a start address before the end, as toolchains write them.
    lines = [hex_record(0, 4, b"\x08\x00")] + data
    lines += [hex_record(0x9FF0, 0, b"\xAA" * 16), hex_record(0, 5, b"\x08\x00\x01\x23"), hex_record(0, 1, b"")]
    write("loader", "good.hex", ("\r\n".join(lines) + "\r\n").encode())
    write("loader", "cr-only.hex", ("\r".join(lines) + "\r").encode())
    write("loader", "joined.hex", ("".join(lines[:4]) + "\n" + "".join(lines[4:]) + "\n").encode())
    write("loader", "second-segment.hex",
          ("\n".join(data[:2] + [hex_record(0, 2, b"\x10\x00")] + data[2:4] + lines[-1:]) + "\n").encode())
    write("loader", "short-last-line.hex", "\n".join(lines).encode())
    write("loader", "bad-checksum.hex", (lines[0][:-2] + "00\n" + lines[-1] + "\n").encode())
    write("loader", "no-end.hex", ("\n".join(lines[:3]) + "\n").encode())
    write("loader", "firmware.bin", bytes((i * 7 + 3) & 0xFF for i in range(1024)) + b"FWVER:T001")
    write("loader", "one-byte.bin", b"\x00")


if __name__ == "__main__":
    receiver_corpus()
    loader_corpus()
