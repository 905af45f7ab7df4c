#!/usr/bin/python3
"""Reads a raw message with Python's email package, as an independent MIME reader.

  read_message.py MESSAGE OUTDIR
Writes each attachment's decoded bytes to OUTDIR/<its filename> and prints one JSON
object: the header fields, the text part's lines, the attachment names in order and
the parser's defects.
"""
import email
import json
import os
import sys
from email import policy

raw = open(sys.argv[1], "rb").read()
message = email.message_from_bytes(raw, policy=policy.compat32)
result = {
    "from": message["From"],
    "to": message["To"],
    "cc": message["CC"],
    "bcc": message["Bcc"],
    "subject": message["Subject"],
    "mailer": message["X-Mailer"],
    "content_type": message.get_content_type(),
    "boundary": message.get_boundary(),
    "attachments": [],
    "defects": [type(d).__name__ for d in message.defects],
}
for part in message.walk():
    if part.is_multipart():
        continue
    result["defects"] += [type(d).__name__ for d in part.defects]
    name = part.get_filename()
    payload = part.get_payload(decode=True)
    if name:
        with open(os.path.join(sys.argv[2], name), "wb") as out:
            out.write(payload)
        result["attachments"].append(name)
    else:
        result["text_type"] = part.get_content_type()
        result["body"] = payload.decode("ascii").splitlines()
print(json.dumps(result))
