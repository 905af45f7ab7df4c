"""Reads a raw message with Python's email package; writes every attachment's decoded
payload into OUTDIR under its file name and prints the To header, then one name a line."""
import email
import email.policy
import os
import sys

message = email.message_from_binary_file(open(sys.argv[1], "rb"), policy=email.policy.compat32)
print(message["To"])
for part in message.walk():
    name = part.get_filename()
    if name and not part.is_multipart():
        with open(os.path.join(sys.argv[2], os.path.basename(name)), "wb") as out:
            out.write(part.get_payload(decode=True))
        print(name)
