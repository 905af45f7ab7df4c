#!/usr/bin/python3
"""Checks a raw sent message with Python's email package, under both policy.default and
policy.compat32, against what the user typed and attached.

  check_message.py MESSAGE EXPECTED.json

EXPECTED holds (every key optional but "body"):
  "from":        [display name, address]
  "to", "cc":    [[display name, address], ...]
  "subject", "mailer": the text typed
  "body":        the text the reader must find in the text part
  "attachments": [[file name, path of the original file], ...] in part order
  "transfer_encoding": expected transfer encoding of every attachment part
  "text_encoding": expected transfer encoding of the text part ("7bit" when none)
  "message_id_domain": the domain the Message-ID must carry

Prints "ok", or one problem a line (exit status 1).
"""
import email.utils
import json
import re
import sys
from email import policy
from email.header import decode_header, make_header
from email.parser import BytesParser

problems = []


def problem(text):
    problems.append(text)


def check_wire(raw):
    if re.search(rb"(?<!\r)\n", raw) or re.search(rb"\r(?!\n)", raw):
        problem("line end other than CR LF")
    for number, line in enumerate(raw.split(b"\r\n"), 1):
        if len(line) > 998:
            problem(f"line {number} has {len(line)} octets")
    head = raw.split(b"\r\n\r\n", 1)[0]
    if any(byte > 127 for byte in head):
        problem("8-bit bytes in the header")


def compat_text(value):
    return str(make_header(decode_header(value))) if value is not None else None


def addresses(message, name, strict):
    if strict:
        header = message[name]
        return None if header is None else [[a.display_name, a.addr_spec] for a in header.addresses]
    values = message.get_all(name)
    if values is None:
        return None
    return [[compat_text(display) if display else "", address]
            for display, address in email.utils.getaddresses(values)]


def header_defects(message, file_names_encoded):
    found = []
    for part in message.walk():
        for name, value in part.items():
            for defect in getattr(value, "defects", ()):
                # The encoded words in name= are there on purpose, for readers that know
                # nothing of RFC 2231; the parser notes them (inside quotes, and the quote
                # right after) and decodes them all the same.
                deliberate = (name.lower() == "content-type" and file_names_encoded and
                              str(defect) in ("encoded word inside quoted string",
                                              "missing trailing whitespace after encoded-word"))
                if not deliberate:
                    found.append(f"{name}: {type(defect).__name__}: {defect}")
    return found


def text_of(part, strict):
    if strict:
        return part.get_content()
    charset = part.get_content_charset() or "us-ascii"
    return part.get_payload(decode=True).decode(charset)


def check_with(raw, expected, label):
    strict = label == "default"
    message = BytesParser(policy=policy.default if strict else policy.compat32).parsebytes(raw)
    prefix = f"[{label}] "
    encoded_names = any(not all(32 <= ord(c) < 127 for c in name) or "=?" in name
                        for name, _ in expected.get("attachments", []))
    defects = [f"{type(d).__name__}: {d}" for part in message.walk() for d in part.defects]
    if strict:
        defects += header_defects(message, encoded_names)
    for defect in defects:
        problem(prefix + "defect " + defect)

    for key, field in (("from", "From"), ("to", "To"), ("cc", "CC")):
        if key in expected:
            want = [expected[key]] if key == "from" else expected[key]
            got = addresses(message, field, strict)
            if got != want:
                problem(prefix + f"{field}: {got!r} instead of {want!r}")
    for key, field in (("subject", "Subject"), ("mailer", "X-Mailer")):
        if key in expected:
            value = message[field]
            got = (str(value) if strict else compat_text(value)) if value is not None else None
            if got != expected[key]:
                problem(prefix + f"{field}: {got!r} instead of {expected[key]!r}")

    date = message["Date"]
    try:
        if date is None or email.utils.parsedate_to_datetime(str(date)).tzinfo is None:
            problem(prefix + f"Date without a zone: {date!r}")
    except (TypeError, ValueError):
        problem(prefix + f"Date unreadable: {date!r}")
    message_id = str(message["Message-ID"] or "")
    match = re.fullmatch(r"<([0-9a-f]{32,})@([^<>@\s]+)>", message_id)
    if not match:
        problem(prefix + f"Message-ID malformed: {message_id!r}")
    elif "message_id_domain" in expected and match.group(2) != expected["message_id_domain"]:
        problem(prefix + f"Message-ID domain {match.group(2)!r}")

    leaves = [part for part in message.walk() if not part.is_multipart()]
    texts = [part for part in leaves if part.get_filename() is None]
    files = [part for part in leaves if part.get_filename() is not None]
    if len(texts) != 1 or texts[0].get_content_type() != "text/plain":
        problem(prefix + f"text parts: {[p.get_content_type() for p in texts]}")
    else:
        text = text_of(texts[0], strict).replace("\r\n", "\n")
        if text != expected["body"]:
            problem(prefix + f"body {text[:200]!r}... instead of {expected['body'][:200]!r}...")
        encoding = texts[0].get("Content-Transfer-Encoding", "7bit").lower()
        if "text_encoding" in expected and encoding != expected["text_encoding"]:
            problem(prefix + f"text part sent as {encoding}")

    attachments = expected.get("attachments", [])
    if [part.get_filename() for part in files] != [name for name, _ in attachments]:
        problem(prefix + f"file names {[part.get_filename() for part in files]!r} "
                f"instead of {[name for name, _ in attachments]!r}")
    for part, (name, path) in zip(files, attachments):
        with open(path, "rb") as f:
            original = f.read()
        payload = part.get_content() if strict else part.get_payload(decode=True)
        if payload != original:
            problem(prefix + f"{name}: {len(payload)} bytes differ from the original's {len(original)}")
        if not strict:
            # Readers that know only name= and decode encoded words in it.
            fallback = email.utils.collapse_rfc2231_value(part.get_param("name", ""))
            if compat_text(fallback) != name:
                problem(prefix + f"{name}: name= reads {compat_text(fallback)!r}")
        if strict:
            params = part["Content-Disposition"].params
            if list(params) != ["filename"]:
                problem(prefix + f"{name}: disposition parameters {dict(params)!r}")
        encoding = part.get("Content-Transfer-Encoding", "").lower()
        if "transfer_encoding" in expected and encoding != expected["transfer_encoding"]:
            problem(prefix + f"{name}: sent as {encoding!r}")


def main():
    with open(sys.argv[1], "rb") as f:
        raw = f.read()
    with open(sys.argv[2], encoding="utf-8") as f:
        expected = json.load(f)
    check_wire(raw)
    for label in ("default", "compat32"):
        try:
            check_with(raw, expected, label)
        except Exception as e:  # a crash in the parser is a finding, not a test error
            problem(f"[{label}] {type(e).__name__}: {e}")
    print("\n".join(problems) if problems else "ok")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
