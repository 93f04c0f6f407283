# Reads composed messages back with Python's own decoders.
#   message MODE FILE OUT      headers, text lines and files (written to
#                              OUT/0, OUT/1, ...) of a b64, uu or xx message
import binascii
import email
import email.policy
import os
import sys

XX = "+-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
XX_TO_UU = str.maketrans(XX, "`" + "".join(chr(c) for c in range(33, 96)))


def uu_block(lines, mode):
    """(name, bytes) of a begin ... end block, its frame checked."""
    assert lines[0].startswith("begin 0644 "), lines[0]
    assert lines[-2:] == (["`", "end"] if mode == "uu" else ["+", "end"]), lines[-2:]
    assert all(len(line) <= 61 for line in lines)
    data = b"".join(binascii.a2b_uu(line.translate(XX_TO_UU) if mode == "xx" else line)
                    for line in lines[1:-2])
    return lines[0][len("begin 0644 "):], data


def message(mode, path, out):
    msg = email.message_from_binary_file(open(path, "rb"), policy=email.policy.default)
    for header in ("From", "To", "Cc", "Subject", "X-Note"):
        if msg[header] is not None:
            print(header.lower() + ":", msg[header])
    files, text = [], []
    for part in msg.iter_parts() if msg.is_multipart() else [msg]:
        if part.get_filename():
            files.append((part.get_filename(), part.get_content_type(),
                          part.get_payload(decode=True)))
        else:
            text = part.get_content().splitlines()
    starts = [i for i, line in enumerate(text) if line.startswith("begin 0644 ")]
    for start in starts if mode != "b64" else []:
        name, data = uu_block(text[start:text.index("end", start) + 1], mode)
        files.append((name, "-", data))
    text = text[:starts[0]] if starts else text
    while text and text[-1] == "":
        text.pop()
    for line in text:
        print("text:", line)
    for index, (name, ctype, data) in enumerate(files):
        open(os.path.join(out, str(index)), "wb").write(data)
        print("file:", name, ctype)


if __name__ == "__main__":
    sys.stdout.reconfigure(encoding="utf-8")
    message(sys.argv[2], sys.argv[3], sys.argv[4])
