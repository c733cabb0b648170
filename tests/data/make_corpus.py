#!/usr/bin/python3
"""Writes the parser corpus: messages as mail programs compose them (Python's
email package, plus a few hand-made ones that real mailers send), and next to
each the files that Python's email package extracts from it.

Run once after changing a case; the output is committed, so the tests need no
Python. Layout: corpus/<case>/message.eml (CRLF line ends, as POP3 delivers
it), corpus/<case>/expected/<file> and corpus/<case>/runs (how many times the
message is processed into the same folder).
"""
import email
import email.policy
import os
import re
import shutil
from email.message import EmailMessage
from email.mime.application import MIMEApplication
from email.mime.base import MIMEBase
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus")
BINARY = bytes(range(256)) * 3 + b"\r\n\n\r end"


# The extensions the Inbox gives unnamed parts of these types (pop3/MimeNames).
MEDIA_EXTENSIONS = {"application/pdf": "pdf", "application/zip": "zip", "image/png": "png",
                    "image/jpeg": "jpg", "image/gif": "gif", "application/msword": "doc",
                    "application/octet-stream": "bin", "message/rfc822": "eml"}


def crlf(data: bytes) -> bytes:
    return re.sub(rb"\r?\n", b"\r\n", data)


def safe_name(name):
    """The Inbox naming rule: a plain name, never a path."""
    if name is None:
        return "text.tmp"
    name = re.split(r"[/\\]", name)[-1]
    name = "".join(c for c in name if ord(c) >= 0x20 and ord(c) != 0x7F)
    name = name.lstrip(" \t.").rstrip(" \t")
    return name or "text.tmp"


def candidate(name, k):
    if k == 0:
        return name
    base, dot, ext = name.rpartition(".")
    return f"{name}_{k}" if not dot else f"{base}_{k}.{ext}"


def expected_files(raw: bytes, runs: int):
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    files = []
    if msg.is_multipart():
        leaves = [p for p in msg.walk() if not p.is_multipart()]
        for i, part in enumerate(leaves):
            named = part.get_filename() is not None or part.get_content_disposition() == "attachment"
            uu = part.get("Content-Transfer-Encoding", "").lower() in ("x-uuencode", "uuencode", "x-uue")
            fallback = None
            if i == 0 and not named and not uu:
                if part.get_content_maintype() == "text":
                    continue  # the message text
                # Content that is not text is saved, named after its type.
                fallback = "attachment." + MEDIA_EXTENSIONS.get(part.get_content_type(), "bin")
            payload = part.get_payload(decode=True) or b""
            name = part.get_filename() or fallback
            if name is None and uu:
                m = re.search(rb"^begin [0-7]+ (.*)$", part.get_payload(decode=False).encode(), re.M)
                name = m.group(1).decode().strip() if m else None
            if not payload and not named:
                continue
            files.append((safe_name(name), payload))
    elif msg.get_filename() is not None or msg.get_content_disposition() == "attachment":
        files.append((safe_name(msg.get_filename()), msg.get_payload(decode=True)))
    result = {}
    for _ in range(runs):
        for name, payload in files:
            k = 0
            while candidate(name, k) in result:
                k += 1
            result[candidate(name, k)] = payload
    return result


def write_case(case, raw: bytes, runs=1, error=None):
    folder = os.path.join(OUT, case)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(os.path.join(folder, "expected"))
    raw = crlf(raw)
    with open(os.path.join(folder, "message.eml"), "wb") as f:
        f.write(raw)
    with open(os.path.join(folder, "runs"), "w") as f:
        f.write(f"{runs}\n")
    if error is not None:
        with open(os.path.join(folder, "error"), "w") as f:
            f.write(error + "\n")
        return
    for name, payload in expected_files(raw, runs).items():
        with open(os.path.join(folder, "expected", name), "wb") as f:
            f.write(payload)


def base_message(subject="Test"):
    m = EmailMessage()
    m["From"] = "Sender <sender@example.org>"
    m["To"] = "gateway@example.org"
    m["Subject"] = subject
    m["Message-ID"] = "<1@example.org>"
    return m


def text_and_attachment():
    m = base_message()
    m.set_content("Hello,\nthe file is attached.\n")
    m.add_attachment(BINARY, maintype="application", subtype="octet-stream", filename="a.txt")
    return m.as_bytes()


def several_attachments():
    m = base_message()
    m.set_content("Three files.\n")
    m.add_attachment(BINARY, maintype="application", subtype="octet-stream", filename="one.bin")
    m.add_attachment("plain text\nsecond line\n", filename="two.txt")
    m.add_attachment(b"\x00" * 1000, maintype="image", subtype="png", filename="three.png")
    return m.as_bytes()


def rfc2231_name():
    m = base_message()
    m.set_content("Name with umlauts.\n")
    m.add_attachment(b"data", maintype="application", subtype="octet-stream",
                     filename=("utf-8", "", "Größe & Maße – ein sehr langer Dateiname für RFC 2231 Fortsetzungen.pdf"))
    return m.as_bytes()


def rfc2047_name():
    return (b"From: a@example.org\nSubject: 2047\nMIME-Version: 1.0\n"
            b"Content-Type: multipart/mixed; boundary=\"b1\"\n\n"
            b"--b1\nContent-Type: text/plain\n\nbody\n"
            b"--b1\nContent-Type: application/octet-stream;\n name=\"=?UTF-8?B?w6TDtsO8LnR4dA==?=\"\n"
            b"Content-Transfer-Encoding: base64\n\nYWJj\n"
            b"--b1--\n")


def unquoted_names():
    return (b"From: a@example.org\nSubject: unquoted\nMIME-Version: 1.0\n"
            b"Content-Type: multipart/mixed; boundary=XyZ\n\n"
            b"preamble\n--XyZ\nContent-Type: text/plain\n\nbody text\n"
            b"--XyZ\nContent-Type: application/octet-stream; name=b.bin\n"
            b"Content-Transfer-Encoding: base64\n\nAAECAwQFBgcICQ==\n"
            b"--XyZ\nContent-Type: text/plain\nContent-Disposition: attachment;\n\tfilename=c.txt\n\n"
            b"line one\nline two\n"
            b"--XyZ--\nepilogue\n")


def quoted_printable():
    m = base_message()
    m.set_content("QP follows.\n")
    m.add_attachment("Gr\u00fc\u00dfe = equals, a very long line " + "x" * 120 + "\nend\n",
                     filename="qp.txt", cte="quoted-printable")
    return m.as_bytes()


def uuencoded():
    import binascii
    data = BINARY[:100]
    lines = [b"begin 644 uu.bin"]
    for i in range(0, len(data), 45):
        lines.append(binascii.b2a_uu(data[i:i + 45]).rstrip(b"\n"))
    lines += [b"`", b"end"]
    body = b"\n".join(lines) + b"\n"
    return (b"From: a@example.org\nSubject: uu\nMIME-Version: 1.0\n"
            b"Content-Type: multipart/mixed; boundary=\"==uu==\"\n\n"
            b"--==uu==\nContent-Type: text/plain\n\ntext\n"
            b"--==uu==\nContent-Type: application/octet-stream; name=\"named.bin\"\n"
            b"Content-Transfer-Encoding: x-uuencode\n\n" + body +
            b"--==uu==\nContent-Type: application/octet-stream\n"
            b"Content-Transfer-Encoding: X-UUE\n\n" + body +
            b"--==uu==--\n")


def alternative():
    m = base_message()
    m.set_content("plain version\n")
    m.add_alternative("<p>html version</p>\n", subtype="html")
    return m.as_bytes()


def nested():
    m = base_message()
    m.set_content("plain version\n")
    m.add_alternative("<p>html version</p>\n", subtype="html")
    m.add_attachment(BINARY, maintype="application", subtype="zip", filename="inner.zip")
    return m.as_bytes()


def first_part_attachment():
    outer = MIMEMultipart()
    outer["Subject"] = "only a file"
    part = MIMEApplication(BINARY, Name="first.bin")
    part["Content-Disposition"] = 'attachment; filename="first.bin"'
    outer.attach(part)
    outer.attach(MIMEText("trailing text\n"))
    return outer.as_bytes()


def traversal(name):
    m = base_message()
    m.set_content("evil\n")
    m.add_attachment(b"payload", maintype="application", subtype="octet-stream")
    att = m.get_payload()[1]
    del att["Content-Disposition"]
    att["Content-Disposition"] = 'attachment; filename="%s"' % name.replace("\\", "\\\\")
    return m.as_bytes()


def empty_attachment():
    return (b"From: a@example.org\nSubject: empty\nMIME-Version: 1.0\n"
            b"Content-Type: multipart/mixed; boundary=\"e\"\n\n"
            b"--e\nContent-Type: text/plain\n\ntext\n"
            b"--e\nContent-Type: application/octet-stream; name=\"empty.dat\"\n"
            b"Content-Transfer-Encoding: base64\n\n"
            b"--e\nContent-Type: text/plain; name=\"after.txt\"\n\nafter\n"
            b"--e--\n")


def missing_closing_boundary():
    return (b"From: a@example.org\nSubject: cut\nMIME-Version: 1.0\n"
            b"Content-Type: multipart/mixed; boundary=\"cut\"\n\n"
            b"--cut\nContent-Type: text/plain\n\ntext\n"
            b"--cut\nContent-Type: text/plain; name=\"tail.txt\"\n\nlast line\nreally last\n")


def boundary_in_data():
    return (b"From: a@example.org\nSubject: tricky\nMIME-Version: 1.0\n"
            b"Content-Type: multipart/mixed; boundary=\"sep\"\n\n"
            b"--sep\nContent-Type: text/plain\n\ntext\n"
            b"--sep\nContent-Type: text/plain; name=\"data.txt\"\n\n"
            b"this line mentions --sep in the middle\n--sepX is not a boundary\n-- sep neither\n"
            b"--sep--\n")


def no_boundary_line():
    return (b"From: a@example.org\nSubject: no parts\nMIME-Version: 1.0\n"
            b"Content-Type: multipart/mixed; boundary=\"never\"\n\n"
            b"this body has no boundary line\n--nevermind\n")


def single_part_file(cte):
    m = base_message()
    if cte == "base64":
        m.set_content(BINARY, maintype="application", subtype="octet-stream",
                      disposition="attachment", filename="single.bin")
    else:
        m.set_content("single part text\nsecond line\n", filename="single.txt",
                      disposition="attachment", cte=cte)
    return m.as_bytes()


def long_lines():
    m = base_message()
    m.set_content("long lines\n")
    data = ("y" * 5000 + "\n") * 3
    m.add_attachment(data, filename="long.txt", cte="8bit")
    return m.as_bytes()


# Every case: its folder name, how its message is made, and write_case's other
# arguments.
CASES = [
    ("text-and-base64", text_and_attachment),
    ("same-message-three-times", text_and_attachment, {"runs": 3}),
    ("several-attachments", several_attachments),
    ("rfc2231-name", rfc2231_name),
    ("rfc2047-name", rfc2047_name),
    ("unquoted-names", unquoted_names),
    ("quoted-printable", quoted_printable),
    ("uuencoded", uuencoded),
    ("alternative", alternative),
    ("nested", nested),
    ("first-part-attachment", first_part_attachment),
    ("traversal-dotdot", lambda: traversal("../../x")),
    ("traversal-absolute", lambda: traversal("/etc/passwd")),
    ("traversal-windows", lambda: traversal("C:\\x\\y.txt")),
    ("empty-attachment", empty_attachment),
    ("missing-closing-boundary", missing_closing_boundary),
    ("boundary-in-data", boundary_in_data),
    ("single-base64", lambda: single_part_file("base64")),
    ("single-quoted-printable", lambda: single_part_file("quoted-printable")),
    ("single-7bit", lambda: single_part_file("7bit")),
    ("long-lines", long_lines),
    # Python finds no parts either; the message must stay on the server.
    ("no-boundary-line", no_boundary_line,
     {"error": "Multipart message without a boundary line: left on the server"}),
]


def main():
    os.makedirs(OUT, exist_ok=True)
    for case, make, *options in CASES:
        write_case(case, make(), **(options[0] if options else {}))


if __name__ == "__main__":
    main()
