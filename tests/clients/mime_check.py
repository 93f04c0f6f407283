"""Reads encoded files and composed messages back with Python's own decoders.

decode DIR:         every DIR/N.bin against DIR/N.b64, N.uu and N.xx
message MODE FILE OUT: the message's headers, text lines and files (written
                    to OUT/0, OUT/1, ...), one line each, for MODE b64/uu/xx
"""
import base64
import binascii
import email
import email.policy
import os
import sys

XX = "+-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
UU = "`" + "".join(chr(c) for c in range(33, 96))
XX_TO_UU = str.maketrans(XX, UU)


def uu_block(lines, mode):
    """(name, bytes) of a begin ... end block, checking its frame."""
    assert lines[0].startswith("begin 0644 "), lines[0]
    assert lines[-2:] == (["`", "end"] if mode == "uu" else ["+", "end"]), lines[-2:]
    data = b""
    for line in lines[1:-2]:
        assert len(line) <= 61, line
        data += binascii.a2b_uu(line.translate(XX_TO_UU) if mode == "xx" else line)
    return lines[0][len("begin 0644 "):], data


def decode(folder):
    for name in sorted(os.listdir(folder)):
        if not name.endswith(".bin"):
            continue
        stem = os.path.join(folder, name[:-4])
        original = open(stem + ".bin", "rb").read()
        b64 = open(stem + ".b64").read().splitlines()
        assert all(len(line) == 72 for line in b64[:-1]), name
        got = {"b64": base64.b64decode("".join(b64), validate=True)}
        for mode in ("uu", "xx"):
            got_name, got[mode] = uu_block(open(stem + "." + mode).read().splitlines(), mode)
            assert got_name == name, got_name
        for mode, data in got.items():
            print(name, mode, "ok" if data == original else "differs")


def message(mode, path, out):
    msg = email.message_from_binary_file(open(path, "rb"), policy=email.policy.default)
    for header in ("From", "To", "Cc", "Subject"):
        if msg[header] is not None:
            print(header.lower() + ":", msg[header])
    files = []
    if msg.is_multipart():
        text = []
        for part in msg.iter_parts():
            if part.get_filename():
                files.append((part.get_filename(), part.get_content_type(),
                              part.get_payload(decode=True)))
            else:
                text = part.get_content().splitlines()
    else:
        lines = msg.get_content().splitlines()
        text = lines
        if mode != "b64":
            starts = [i for i, line in enumerate(lines) if line.startswith("begin 0644 ")]
            text = lines[:starts[0]] if starts else lines
            for start in starts:
                end = lines.index("end", start)
                name, data = uu_block(lines[start:end + 1], mode)
                files.append((name, "-", data))
    while text and text[-1] == "":
        text.pop()
    for line in text:
        print("text:", line)
    for index, (name, ctype, data) in enumerate(files):
        open(os.path.join(out, str(index)), "wb").write(data)
        print("file:", name, ctype)


if __name__ == "__main__":
    sys.stdout.reconfigure(encoding="utf-8")
    if sys.argv[1] == "decode":
        decode(sys.argv[2])
    else:
        message(sys.argv[2], sys.argv[3], sys.argv[4])
