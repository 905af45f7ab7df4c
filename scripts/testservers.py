#!/usr/bin/python3
"""Real mail servers on loopback for tests and the demo.

  testservers.py --dir DIR [--user NAME:PASS ...] [--tls] [--cert VARIANT] [--certs CERTS]
      Prepares DIR, starts a Dovecot POP3 server and an aiosmtpd SMTP server on free
      127.0.0.1 ports and writes DIR/ports.env (POP3_PORT=..., SMTP_PORT=..., HANG_PORT=...,
      and READY=1 last) once all accept connections; the same lines go to stdout. Runs in
      the foreground until SIGTERM, SIGINT or end of input on stdin, then stops them all.
      Every message an SMTP server accepts is stored byte-exact (the bytes after DATA)
      in the Maildir of each recipient whose local part is a known user, whatever the
      domain, and as DIR/smtp/NNNNNN.eml in arrival order. Recipients whose local part
      begins with "refused" are refused (550), as unknown users are by real servers.
      SMTP_EXT_PORT speaks EHLO with SIZE 1048576, PIPELINING, 8BITMIME, SMTPUTF8 and
      ENHANCEDSTATUSCODES and offers AUTH (CRAM-MD5, LOGIN, PLAIN) without TLS, which it
      does not require.
      DIR/smtp-faults.txt scripts refusals for every SMTP server: each line
      "COMMAND MATCH REPLY" answers the next MAIL (MATCH "*"), RCPT whose local part begins
      with MATCH ("*" for any) or end of DATA ("*") with REPLY instead, once; the line is
      then removed. A reply of 421 closes the connection after it, as servers do.
      Every command line an SMTP server reads (AUTH continuations too, not the message)
      goes to DIR/smtp-commands.log as "SERVER LINE"; "SERVER * EVENT" lines note
      connections (CONNECT; over implicit TLS once the handshake is done), each TLS
      ClientHello (HELLO and the SNI name, "-" for none), a completed STARTTLS (TLS) and
      the outcome of AUTH (AUTH MECHANISM USER ok|refused).
      HANG_PORT accepts TCP connections and never sends a byte (a TLS handshake that
      never completes).

      --tls adds, with the certificates in CERTS (default DIR/tls; made if missing, see
      "certs"):
        POP3S_PORT          Dovecot with TLS from the first byte; the plain POP3_PORT then
                            offers STLS (plain USER/PASS still allowed there)
        SMTPS_PORT          TLS from the first byte, AUTH offered but not required
        SMTPS_AUTH_PORT     TLS from the first byte, AUTH required before MAIL
        SMTPS_NOCRAM_PORT   the same offering only LOGIN and PLAIN
        SMTPS_LOGINONLY_PORT  the same offering only LOGIN
        SMTP_STARTTLS_PORT  STARTTLS offered and required, then AUTH required
        SMTP_TLSREFUSE_PORT offers STARTTLS but answers it with 454
        CA_FILE, CERT_FILE, CERT_FINGERPRINT (SHA-256, AB:CD:... as openssl prints it)
      AUTH offers CRAM-MD5, LOGIN and PLAIN (unless said otherwise) and accepts the
      mailbox users and passwords.
      --listen ADDR puts every server on that loopback address instead of 127.0.0.1;
      --ipv6 makes each one listen on ::1 as well, on the same port; --well-known-ports
      gives POP3 110, POP3S 995, SMTPS 465 and SMTP_STARTTLS 587 (ADDR must be free there,
      and binding them takes root); --https FOLDER adds HTTPS_PORT (443 with
      --well-known-ports) serving the files of FOLDER; --name NAME (repeatable) adds a
      DNS name such as *.example.test to the trusted certificate (give --certs a folder of
      its own then).
      --oauth NAME (with --tls) adds the OAuth 2.0 authorization server of authserver.py
      (OAUTH_PORT), approving the mailbox user NAME: Dovecot then offers SASL PLAIN,
      LOGIN, CRAM-MD5, OAUTHBEARER and XOAUTH2 and checks tokens by the server's
      introspection endpoint; the SMTP servers with AUTH also take OAUTHBEARER and XOAUTH2
      for tokens of the same server.
      --cert VARIANT picks the certificate every TLS server presents: trusted (default,
      from the test CA, for IP 127.0.0.1 and DNS localhost), selfsigned, mismatch (from
      the CA, only DNS:mail.example.test) or expired (from the CA, ended in 2020).

  testservers.py certs --dir CERTS
      Makes the test CA (ca.pem), the servers' key (server.key) and a certificate per
      variant (VARIANT.pem) in the folder CERTS, unless they are there already.

  testservers.py proxy --target PORT --record FILE [--delay-ms N] [--up-delay-ms N]
                       [--down-delay-ms N]
      A wire-recording relay on a free 127.0.0.1 port to 127.0.0.1:PORT. Prints
      PROXY_PORT=N, then "CLOSED K" after the K-th connection has ended on both sides.
      Every byte is appended to FILE as it arrives: a header line "> ID LEN" (client to
      server) or "< ID LEN" (server to client) followed by the LEN bytes; "x ID 0" marks
      the end of connection ID. Delays hold each direction's bytes back by N ms (latency,
      not bandwidth). Runs until SIGTERM, SIGINT or end of input on stdin.

  testservers.py adduser --dir DIR --user NAME:PASS [--user ...]
      Adds or replaces users; a running Dovecot picks up the change at the next login.

  testservers.py deliver --dir DIR --user NAME FILE [FILE ...]
      Drops raw message files ("-" reads stdin) into the user's Maildir, in order.

Nothing here talks to anything but 127.0.0.1. When run as root, mail belongs to the
user "nobody" because Dovecot refuses to serve mail as root.
"""

import argparse
import asyncio
import base64
import json
import datetime
import hmac
import logging
import os
import pwd
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time
import warnings

DOVECOT = "/usr/sbin/dovecot"
EXT_SIZE_LIMIT = 1048576
START_TIMEOUT = 15.0
STOP_TIMEOUT = 5.0
STOP_GRACE = 0.3


class Failure(Exception):
    pass


# ---------------------------------------------------------------- layout and users

def mail_owner():
    """The uid, gid and name that own the mail folders."""
    if os.geteuid() == 0:
        nobody = pwd.getpwnam("nobody")
        return nobody.pw_uid, nobody.pw_gid, "nobody"
    me = pwd.getpwuid(os.geteuid())
    return me.pw_uid, me.pw_gid, me.pw_name


def users_path(folder):
    return os.path.join(folder, "users")


def home_of(folder, user):
    return os.path.join(folder, "mail", user)


def maildir_of(folder, user):
    return os.path.join(home_of(folder, user), "Maildir")


def parse_user(text):
    name, sep, password = text.partition(":")
    bad = set(":\r\n\0/") | {" "}
    if not sep or not name or name in (".", "..") or any(c in bad for c in name):
        raise Failure(f"bad user '{text}': expected NAME:PASS, NAME without ':', '/', blanks")
    if any(c in "\r\n\0:" for c in password):
        raise Failure(f"bad password for '{name}': no ':' or line ends")
    return name, password


def read_users(folder):
    users = {}
    try:
        names = os.listdir(users_path(folder))
    except FileNotFoundError:
        return users
    for name in names:
        if name.endswith(".tmp"):
            continue
        with open(os.path.join(users_path(folder), name), encoding="utf-8") as f:
            fields = f.readline().rstrip("\n").split(":")
        if len(fields) >= 2 and fields[0] == name:
            users[name] = fields[1].removeprefix("{PLAIN}")
    return users


def write_atomically(path, data, mode=0o644):
    tmp = f"{path}.{os.getpid()}.tmp"
    with open(tmp, "wb") as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())
    os.chmod(tmp, mode)
    os.replace(tmp, path)


def make_dir(path, uid=None, gid=None, mode=0o700):
    os.makedirs(path, exist_ok=True)
    os.chmod(path, mode)
    if uid is not None and os.geteuid() == 0:
        os.chown(path, uid, gid)


def ensure_maildir(folder, user):
    uid, gid, _ = mail_owner()
    make_dir(os.path.join(folder, "mail"), uid, gid, 0o755)
    make_dir(home_of(folder, user), uid, gid)
    maildir = maildir_of(folder, user)
    make_dir(maildir, uid, gid)
    for sub in ("cur", "new", "tmp"):
        make_dir(os.path.join(maildir, sub), uid, gid)
    return maildir


def add_users(folder, entries):
    uid, gid, _ = mail_owner()
    make_dir(users_path(folder), mode=0o755)
    for entry in entries:
        name, password = parse_user(entry)
        ensure_maildir(folder, name)
        # One passwd-file per user: Dovecot re-reads a changed file at most once a second,
        # but a new user's file is a new file and is read at the very next login.
        line = f"{name}:{{PLAIN}}{password}:{uid}:{gid}::{home_of(folder, name)}::\n"
        write_atomically(os.path.join(users_path(folder), name), line.encode("utf-8"))


_sequence = [0, 0]


def unique_name():
    """Maildir names sort by arrival: Dovecot numbers new mail by the time in the name."""
    now = time.time_ns() // 1000
    if now <= _sequence[0]:
        now = _sequence[0] + 1
    _sequence[0] = now
    _sequence[1] += 1
    return f"{now // 1000000}.M{now % 1000000:06d}P{os.getpid()}Q{_sequence[1]}.corvane"


def deliver(folder, user, data):
    maildir = ensure_maildir(folder, user)
    uid, gid, _ = mail_owner()
    name = unique_name()
    tmp = os.path.join(maildir, "tmp", name)
    with open(tmp, "wb") as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())
    os.chmod(tmp, 0o600)
    if os.geteuid() == 0:
        os.chown(tmp, uid, gid)
    os.rename(tmp, os.path.join(maildir, "new", name))


def make_traversable(folder):
    """Dovecot's processes running as other users must reach the mail below folder."""
    os.chmod(folder, 0o755)
    if os.geteuid() != 0:
        return
    # "/" too: an unpacked root file system can have a private top folder, and then Dovecot's
    # own processes cannot even read /etc/passwd and every login fails.
    path = os.path.dirname(os.path.abspath(folder))
    while True:
        if not os.stat(path).st_mode & 0o001:
            raise Failure(f"{path} is not traversable by other users; Dovecot could not reach the mail")
        if path == "/":
            break
        path = os.path.dirname(path)


# ---------------------------------------------------------------- certificates

CERT_VARIANTS = ("trusted", "selfsigned", "mismatch", "expired")

OPENSSL_CONF = """# Test CA; everything lives below {tls}.
[ ca ]
default_ca = test_ca
[ test_ca ]
dir = {tls}
database = {tls}/index.txt
new_certs_dir = {tls}/issued
serial = {tls}/serial
default_md = sha256
policy = any_name
unique_subject = no
copy_extensions = none
email_in_dn = no
[ any_name ]
commonName = supplied
[ req ]
distinguished_name = req_name
prompt = no
[ req_name ]
CN = unused
[ v_ca ]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[ v_server ]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = IP:127.0.0.1,IP:::1,DNS:localhost{names}
[ v_mismatch ]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = DNS:mail.example.test
[ v_selfsigned ]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
subjectAltName = IP:127.0.0.1,DNS:localhost
"""


def cert_file(certs, variant):
    return os.path.join(certs, f"{variant}.pem")


def key_file(certs):
    return os.path.join(certs, "server.key")


def ca_file(certs):
    return os.path.join(certs, "ca.pem")


def openssl(*args):
    result = subprocess.run(["openssl", *args], stdin=subprocess.DEVNULL, capture_output=True)
    if result.returncode != 0:
        raise Failure(f"openssl {args[0]} failed: {result.stderr.decode(errors='replace').strip()}")
    return result.stdout.decode()


def make_certificates(certs, names=()):
    """A CA, one server key and a certificate per variant in the folder certs, unless they
    are there already. P-256 keys: made in milliseconds. Made aside and renamed into
    place, so servers sharing the folder never see half of them."""
    if os.path.exists(cert_file(certs, CERT_VARIANTS[-1])):
        return
    parent = os.path.dirname(os.path.abspath(certs))
    os.makedirs(parent, exist_ok=True)
    tls = os.path.join(parent, f".{os.path.basename(certs)}.{os.getpid()}.tmp")
    make_dir(tls, mode=0o755)
    make_dir(os.path.join(tls, "issued"), mode=0o755)
    conf = os.path.join(tls, "openssl.cnf")
    extra = "".join(f",DNS:{name}" for name in names)
    write_atomically(conf, OPENSSL_CONF.format(tls=tls, names=extra).encode())
    write_atomically(os.path.join(tls, "index.txt"), b"")
    write_atomically(os.path.join(tls, "serial"), b"1000\n")
    ca_key = os.path.join(tls, "ca.key")
    for key in (ca_key, key_file(tls)):
        openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", key)
        os.chmod(key, 0o644)  # Dovecot's config reader and the tests read it; nothing here is secret
    openssl("req", "-config", conf, "-x509", "-new", "-key", ca_key, "-subj", "/CN=Corvane Test CA",
            "-days", "3650", "-extensions", "v_ca", "-out", ca_file(tls))
    request = os.path.join(tls, "server.csr")
    openssl("req", "-config", conf, "-new", "-key", key_file(tls), "-subj", "/CN=localhost", "-out", request)
    # A day of slack on the start: a clock that is a little behind must not see "not yet valid".
    now = datetime.datetime.now(datetime.timezone.utc)
    stamp = "%Y%m%d%H%M%SZ"
    valid = ((now - datetime.timedelta(days=1)).strftime(stamp), (now + datetime.timedelta(days=30)).strftime(stamp))
    for variant, extensions, (start, end) in (("trusted", "v_server", valid), ("mismatch", "v_mismatch", valid),
                                              ("expired", "v_server", ("20200101000000Z", "20200201000000Z"))):
        openssl("ca", "-config", conf, "-batch", "-notext", "-in", request, "-extensions", extensions,
                "-cert", ca_file(tls), "-keyfile", ca_key, "-startdate", start, "-enddate", end,
                "-out", cert_file(tls, variant))
    openssl("req", "-config", conf, "-x509", "-new", "-key", key_file(tls), "-subj", "/CN=localhost",
            "-days", "30", "-extensions", "v_selfsigned", "-out", cert_file(tls, "selfsigned"))
    try:
        os.rename(tls, certs)
    except OSError:
        if not os.path.exists(cert_file(certs, CERT_VARIANTS[-1])):
            raise
        shutil.rmtree(tls)  # another server made them first


def fingerprint(path):
    text = openssl("x509", "-in", path, "-noout", "-fingerprint", "-sha256")
    return text.strip().partition("=")[2]


# ---------------------------------------------------------------- Dovecot

LISTEN = {"address": "127.0.0.1", "ipv6": False, "well_known": False}


def addresses():
    return [LISTEN["address"]] + (["::1"] if LISTEN["ipv6"] else [])


def free_ports(count):
    """Distinct ports free on every listening address: all are held open until every one
    is chosen."""
    ports, held = [], []
    try:
        while len(ports) < count:
            first = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            held.append(first)
            first.bind((LISTEN["address"], 0))
            port = first.getsockname()[1]
            if LISTEN["ipv6"]:
                other = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
                held.append(other)
                try:
                    other.bind(("::1", port))
                except OSError:
                    continue
            ports.append(port)
        return ports
    finally:
        for s in held:
            s.close()


def greets(port):
    """A listening socket alone is not enough: Dovecot's master binds before it may fail."""
    try:
        with socket.create_connection((LISTEN["address"], port), timeout=1.0) as s:
            return s.recv(64).startswith(b"+OK")
    except OSError:
        return False


def oauth_conf(folder, oauth_port):
    """The mechanisms and databases of a Dovecot that also takes the test issuer's tokens."""
    if not oauth_port:
        return "auth_mechanisms = plain login", f"""passdb {{
  driver = passwd-file
  args = scheme=PLAIN username_format=%u {users_path(folder)}/%u
}}"""
    ext = os.path.join(folder, "dovecot-oauth2.conf.ext")
    write_atomically(ext, (f"introspection_mode = post\nintrospection_url = http://127.0.0.1:{oauth_port}/introspect\n"
                           "username_attribute = username\nactive_attribute = active\nactive_value = true\n").encode())
    return "auth_mechanisms = plain login cram-md5 oauthbearer xoauth2", f"""passdb {{
  driver = passwd-file
  mechanisms = plain login cram-md5 none
  args = scheme=PLAIN username_format=%u {users_path(folder)}/%u
}}
passdb {{
  driver = oauth2
  mechanisms = xoauth2 oauthbearer
  args = {ext}
}}"""


def dovecot_conf(folder, port, tls_port=0, cert=None, oauth_port=0):
    uid, _, login = mail_owner()
    root = os.geteuid() == 0
    internal = "dovecot" if root else login
    login_user = "dovenull" if root else login
    chroot = "" if root else "  chroot =\n"
    # Without root the master cannot hand sockets to Dovecot's own group.
    own_group = "" if root else "".join(
        f"service {service} {{\n  unix_listener {listener} {{\n    group =\n  }}\n}}\n"
        for service, listener in (("stats", "stats-writer"), ("dict", "dict"), ("dict-async", "dict-async")))
    # With a certificate the plain listener offers STLS too; without one it stays as it always was.
    mechanisms, passdbs = oauth_conf(folder, oauth_port)
    ssl = "ssl = no" if cert is None else (
        f"ssl = yes\nssl_cert = <{cert}\nssl_key = <{key_file(os.path.dirname(cert))}\nssl_min_protocol = TLSv1.2")
    return f"""# Test instance; everything lives below {folder}.
protocols = pop3
listen = {", ".join(addresses())}
base_dir = {folder}/run
state_dir = {folder}/state
instance_name = corvane-test-{os.getpid()}
log_path = {folder}/dovecot.log
info_log_path = {folder}/dovecot.log
default_internal_user = {internal}
default_login_user = {login_user}
first_valid_uid = {min(uid, 500) or 1}
{ssl}
disable_plaintext_auth = no
{mechanisms}
auth_failure_delay = 0
mail_location = maildir:~/Maildir
pop3_uidl_format = %08Xu%08Xv
{passdbs}
userdb {{
  driver = passwd-file
  args = username_format=%u {users_path(folder)}/%u
}}
service pop3-login {{
{chroot}  inet_listener pop3 {{
    address = {", ".join(addresses())}
    port = {port}
  }}
  inet_listener pop3s {{
    address = {", ".join(addresses())}
    port = {tls_port}
  }}
}}
# No login penalty: after a refused login every later one would wait seconds.
service anvil {{
{chroot}  unix_listener anvil-auth-penalty {{
    mode = 0
  }}
}}
{own_group}"""


class Dovecot:
    def __init__(self, folder, cert=None, oauth_port=0):
        self.folder = folder
        self.cert = cert
        self.oauth_port = oauth_port
        self.process = None
        self.port = None
        self.tls_port = 0

    def start(self):
        if not os.access(DOVECOT, os.X_OK):
            raise Failure(f"{DOVECOT} not found; install dovecot-core and dovecot-pop3d")
        for _ in range(3):  # another program may take the free port before Dovecot binds it
            self.port, self.tls_port = (110, 995) if LISTEN["well_known"] else free_ports(2)
            if self.cert is None:
                self.tls_port = 0
            conf = os.path.join(self.folder, "dovecot.conf")
            write_atomically(conf, dovecot_conf(self.folder, self.port, self.tls_port, self.cert,
                                                  self.oauth_port).encode())
            log = open(os.path.join(self.folder, "dovecot.out"), "ab")
            self.process = subprocess.Popen([DOVECOT, "-F", "-c", conf], stdin=subprocess.DEVNULL,
                                            stdout=log, stderr=log, start_new_session=True)
            log.close()
            deadline = time.monotonic() + START_TIMEOUT
            while time.monotonic() < deadline and self.process.poll() is None:
                if greets(self.port):
                    return
                time.sleep(0.01)
            self.stop()
        raise Failure("Dovecot did not start; see " + os.path.join(self.folder, "dovecot.log"))

    def stop(self):
        if self.process is None:
            return
        # The master's own shutdown takes a second or more; its children are all in the
        # process group we created, so a bounded wait and then the whole group goes.
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(STOP_GRACE)
            except subprocess.TimeoutExpired:
                pass
        try:
            os.killpg(self.process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.process.wait(STOP_TIMEOUT)
        self.process = None


# ---------------------------------------------------------------- SMTP

def local_part(address):
    return address.rpartition("@")[0] if "@" in address else address


def take_fault(folder, command, address="*"):
    """The scripted reply for this command, consumed; None when none is scripted."""
    path = os.path.join(folder, "smtp-faults.txt")
    try:
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except FileNotFoundError:
        return None
    for i, line in enumerate(lines):
        name, match, reply = (line.split(" ", 2) + ["", ""])[:3]
        if name == command and (match == "*" or local_part(address).startswith(match)):
            del lines[i]
            write_atomically(path, "".join(f"{rest}\n" for rest in lines).encode())
            return reply
    return None


class Handler:
    """Accepts every recipient except those whose local part begins with "refused", which
    get the answer a server gives for an unknown user, and answers as DIR/smtp-faults.txt
    says where it says so."""

    def __init__(self, folder, sequence, authenticator=None, extensions=False):
        self.folder = folder
        self.sequence = sequence  # shared by all servers: one numbering of DIR/smtp
        self.extensions = extensions
        if authenticator is not None:
            self.auth_CRAM__MD5 = authenticator.auth_CRAM__MD5
            if authenticator.issuer is not None:
                self.auth_XOAUTH2 = authenticator.auth_XOAUTH2
                self.auth_OAUTHBEARER = authenticator.auth_OAUTHBEARER

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname
        if self.extensions:
            responses[-1:-1] = ["250-PIPELINING", "250-ENHANCEDSTATUSCODES"]
        return responses

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        fault = take_fault(self.folder, "MAIL")
        if fault is not None:
            return fault
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        fault = take_fault(self.folder, "RCPT", address)
        if fault is not None:
            return fault
        if local_part(address).startswith("refused"):
            return "550 5.1.1 No such user here"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        fault = take_fault(self.folder, "DATA")
        if fault is not None:
            return fault
        data = envelope.original_content
        self.sequence[0] += 1
        write_atomically(os.path.join(self.folder, "smtp", f"{self.sequence[0]:06d}.eml"), data)
        users = read_users(self.folder)
        delivered = set()
        for rcpt in envelope.rcpt_tos:
            local = local_part(rcpt)
            if local in users and local not in delivered:
                delivered.add(local)
                deliver(self.folder, local, data)
        return "250 OK"


class CommandLog:
    """Appends "SERVER LINE" for every command line the SMTP servers read."""

    def __init__(self, folder):
        self.file = open(os.path.join(folder, "smtp-commands.log"), "ab", buffering=0)

    def line(self, server, text):
        self.file.write(server.encode() + b" " + text.rstrip(b"\r\n") + b"\n")

    def event(self, server, text):
        self.line(server, b"* " + text.encode())


class Authenticator:
    """Checks logins against the mailbox users, as read at the moment of the login, and
    tokens against the test issuer when there is one."""

    def __init__(self, folder, log, name, issuer=None):
        self.folder, self.log, self.name, self.issuer = folder, log, name, issuer

    async def bearer(self, server, args, mechanism):
        """XOAUTH2 and OAUTHBEARER (RFC 7628): a refused token is answered with an error
        challenge, whose answer the client must send before the final refusal."""
        from aiosmtpd.smtp import MISSING, AuthResult
        if len(args) == 2:
            import binascii
            try:
                message = base64.b64decode(args[1], validate=True)
            except binascii.Error:
                await server.push("501 5.5.2 Can't decode base64")
                return AuthResult(success=False, handled=True)
        else:
            message = await server.challenge_auth("")
            if message is MISSING:
                return AuthResult(success=False, handled=True)
        fields = dict(part.split("=", 1) for part in message.decode("utf-8", "replace").split("\x01") if "=" in part)
        user = fields.get("user", "")
        if mechanism == "OAUTHBEARER":
            header = message.split(b"\x01", 1)[0].decode("utf-8", "replace")
            user = next((p[2:] for p in header.split(",") if p.startswith("a=")), "")
        token = fields.get("auth", "").removeprefix("Bearer ")
        ok = self.issuer.check_bearer(user, token)
        self.log.event(self.name, f"AUTH {mechanism} {user} {'ok' if ok else 'refused'}")
        if ok:
            from aiosmtpd.smtp import LoginPassword
            return AuthResult(success=True, handled=False, auth_data=LoginPassword(user.encode(), b""))
        error = json.dumps({"status": "invalid_token", "schemes": "bearer", "scope": "mail"})
        await server.challenge_auth(error)
        return AuthResult(success=False, handled=False)

    async def auth_XOAUTH2(self, server, args):
        return await self.bearer(server, args, "XOAUTH2")

    async def auth_OAUTHBEARER(self, server, args):
        return await self.bearer(server, args, "OAUTHBEARER")

    def check(self, mechanism, login, password_ok):
        self.log.event(self.name, f"AUTH {mechanism} {login} {'ok' if password_ok else 'refused'}")
        from aiosmtpd.smtp import AuthResult, LoginPassword
        # Not "handled": aiosmtpd then answers a refusal with 535 itself.
        return AuthResult(success=password_ok, handled=False, auth_data=LoginPassword(login.encode(), b""))

    def __call__(self, server, session, envelope, mechanism, auth_data):
        login = auth_data.login.decode("utf-8", "replace")
        password = read_users(self.folder).get(login)
        return self.check(mechanism, login, password is not None and
                          hmac.compare_digest(password.encode(), auth_data.password))

    async def auth_CRAM__MD5(self, server, args):
        """RFC 2195: the client answers "user hex(HMAC-MD5(password, challenge))"."""
        from aiosmtpd.smtp import MISSING, AuthResult
        if len(args) != 1:
            await server.push("501 5.5.4 CRAM-MD5 takes no initial response")
            return AuthResult(success=False, handled=True)
        challenge = f"<{os.getpid()}.{time.time_ns()}@corvane.test>"
        answer = await server.challenge_auth(challenge)
        if answer is MISSING:
            return AuthResult(success=False, handled=True)
        login, _, digest = answer.decode("utf-8", "replace").rpartition(" ")
        password = read_users(self.folder).get(login)
        expected = "" if password is None else hmac.new(password.encode(), challenge.encode(), "md5").hexdigest()
        return self.check("CRAM-MD5", login, password is not None and hmac.compare_digest(expected, digest.lower()))


def smtp_class():
    from aiosmtpd.smtp import SMTP

    class RecordingSMTP(SMTP):
        """Writes each command line to the log before aiosmtpd acts on it (even one it refuses)."""

        def __init__(self, *args, server_name, log, refuse_starttls=False, **kwargs):
            super().__init__(*args, **kwargs)
            self.server_name, self.log, self.refuse_starttls = server_name, log, refuse_starttls

        def connection_made(self, transport):
            starttls = self._original_transport is not None
            super().connection_made(transport)
            self.log.event(self.server_name, "TLS" if starttls else "CONNECT")

        def _client_connected_cb(self, reader, writer):
            super()._client_connected_cb(reader, writer)
            read_until = reader.readuntil

            async def recorded(separator=b"\n"):
                line = await read_until(separator)
                if separator == b"\n":  # commands; the message after DATA is read up to CR LF
                    self.log.line(self.server_name, line)
                return line

            reader.readuntil = recorded

        async def push(self, status):
            await super().push(status)
            if (status.decode() if isinstance(status, bytes) else status).startswith("421"):
                self.transport.close()

        async def smtp_STARTTLS(self, arg):
            if self.refuse_starttls:
                await self.push("454 4.7.0 TLS not available due to temporary reason")
                return
            await super().smtp_STARTTLS(arg)

    return RecordingSMTP


def server_context(certs, variant, log, name):
    """One context per server: the ClientHello is logged with the name the client asked for
    (SNI; "-" for none), so a handshake the client breaks off still leaves a trace."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(cert_file(certs, variant), key_file(certs))
    context.sni_callback = lambda connection, server_name, _: log.event(name, f"HELLO {server_name or '-'}")
    return context


def smtp_sequence(folder):
    return [len([n for n in os.listdir(os.path.join(folder, "smtp")) if n.endswith(".eml")])]


async def listen_on_all(loop, factory, port=0, **options):
    """One server per listening address, all on the same port."""
    servers = []
    for address in addresses():
        family = socket.AF_INET6 if ":" in address else socket.AF_INET
        # Named TCP, so that asyncio turns Nagle off on the connections: a pipelining client
        # would otherwise wait a delayed acknowledgement for every reply after the first.
        sock = socket.socket(family, socket.SOCK_STREAM, socket.IPPROTO_TCP)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if family == socket.AF_INET6:
            sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        sock.bind((address, port))
        port = sock.getsockname()[1]
        servers.append(await loop.create_server(factory, sock=sock, **options))
    return Servers(servers), port


class Servers:
    def __init__(self, servers):
        self.servers = servers

    def close(self):
        for server in self.servers:
            server.close()


async def start_smtp(folder, sequence, log, name, certificate=None, implicit=False, require_starttls=False, auth=False,
                     auth_required=False, refuse_starttls=False, exclude=(), issuer=None, port=0, extensions=False):
    """One SMTP server on a free port; certificate is None (no TLS) or the folder of the
    certificates and the variant to present. With extensions it announces the ones a
    sending client uses and offers AUTH in plain text."""
    tls = None if certificate is None else server_context(*certificate, log, name)
    authenticator = Authenticator(folder, log, name, issuer)
    handler = Handler(folder, sequence, authenticator if auth else None, extensions)
    loop = asyncio.get_running_loop()
    options = dict(server_name=name, log=log, hostname="corvane.test", data_size_limit=None, decode_data=False,
                   refuse_starttls=refuse_starttls)
    if extensions:
        options.update(data_size_limit=EXT_SIZE_LIMIT, enable_SMTPUTF8=True)
    if auth:
        # Over implicit TLS the connection is already secure although aiosmtpd cannot tell.
        warnings.filterwarnings("ignore", message="Requiring AUTH while not requiring TLS")
        logging.getLogger("mail.log").setLevel(logging.ERROR)
        options.update(authenticator=authenticator, auth_required=auth_required,
                       auth_require_tls=not (implicit or extensions), auth_exclude_mechanism=exclude)
    if tls is not None and not implicit:
        options.update(tls_context=tls, require_starttls=require_starttls)
    factory = smtp_class()
    # A fixed host name: the default asks the resolver, which may wait on a network.
    return await listen_on_all(loop, lambda: factory(handler, **options), port, ssl=tls if implicit else None)


async def start_hang():
    """Accepts connections, reads whatever comes and never answers."""
    async def swallow(reader, writer):
        try:
            while await reader.read(65536):
                pass
        except OSError:
            pass
        writer.close()

    server = await asyncio.start_server(swallow, LISTEN["address"], 0)
    return server, server.sockets[0].getsockname()[1]


async def start_https(root, certs, cert):
    """Serves the files below root over TLS, HTTP/1.1, GET only."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(cert_file(certs, cert), key_file(certs))

    async def serve_one(reader, writer):
        try:
            request = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), 10)
            path = request.split(b" ")[1].decode("ascii", "replace").split("?")[0]
            target = os.path.realpath(os.path.join(root, path.lstrip("/")))
            with open(os.path.join(root, "requests.log"), "ab") as f:
                f.write(request.split(b"\r\n")[0] + b"\n")
            if target.startswith(os.path.realpath(root) + os.sep) and os.path.isfile(target):
                with open(target, "rb") as f:
                    body = f.read()
                head = b"HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n"
            else:
                body, head = b"not here\n", b"HTTP/1.1 404 Not Found\r\n"
            writer.write(head + b"Content-Length: %d\r\nConnection: close\r\n\r\n" % len(body) + body)
            await writer.drain()
        except (OSError, asyncio.IncompleteReadError, asyncio.TimeoutError, IndexError, ssl.SSLError):
            pass
        writer.close()

    port = 443 if LISTEN["well_known"] else 0
    return await listen_on_all(asyncio.get_running_loop(), lambda: asyncio.StreamReaderProtocol(
        asyncio.StreamReader(), serve_one), port, ssl=context)


# ---------------------------------------------------------------- commands

def stop_on_signal_or_eof(loop, stop):
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)

    def watch_stdin():
        try:
            while sys.stdin.buffer.read1(4096):
                pass
        except (OSError, ValueError):
            pass
        loop.call_soon_threadsafe(stop.set)

    threading.Thread(target=watch_stdin, daemon=True).start()


async def serve(folder, users, cert, certs, names=(), https=None, oauth_user=None):
    make_traversable(folder)
    for sub in ("run", "state", "smtp"):
        make_dir(os.path.join(folder, sub), mode=0o755)
    ports_env = os.path.join(folder, "ports.env")
    if os.path.exists(ports_env):
        os.remove(ports_env)
    add_users(folder, users)
    if cert is not None:
        make_certificates(certs, names)
    loop = asyncio.get_running_loop()
    stop = asyncio.Event()
    stop_on_signal_or_eof(loop, stop)
    issuer, oauth_server, oauth_port = None, None, 0
    if oauth_user is not None:
        sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
        import authserver
        issuer, oauth_server, oauth_port = authserver.start(oauth_user)
    dovecot = Dovecot(folder, None if cert is None else cert_file(certs, cert), oauth_port)
    servers = []
    try:
        log = CommandLog(folder)
        sequence = smtp_sequence(folder)
        ports = {}

        async def start(key, starter):
            server, ports[key] = await starter
            servers.append(server)

        await start("SMTP_PORT", start_smtp(folder, sequence, log, "smtp"))
        await start("SMTP_EXT_PORT", start_smtp(folder, sequence, log, "smtp-ext", auth=True, extensions=True))
        await start("HANG_PORT", start_hang())
        if cert is not None:
            tls = (certs, cert)  # each server makes its own context from it
            well_known = LISTEN["well_known"]
            await start("SMTPS_PORT", start_smtp(folder, sequence, log, "smtps", tls, implicit=True, auth=True,
                                                 port=465 if well_known else 0))
            await start("SMTPS_AUTH_PORT", start_smtp(folder, sequence, log, "smtps-auth", tls, implicit=True,
                                                      auth=True, auth_required=True, issuer=issuer))
            await start("SMTPS_NOCRAM_PORT", start_smtp(folder, sequence, log, "smtps-nocram", tls, implicit=True,
                                                        auth=True, auth_required=True, exclude=("CRAM-MD5",)))
            await start("SMTPS_LOGINONLY_PORT", start_smtp(folder, sequence, log, "smtps-login", tls, implicit=True,
                                                           auth=True, auth_required=True,
                                                           exclude=("CRAM-MD5", "PLAIN")))
            await start("SMTP_STARTTLS_PORT", start_smtp(folder, sequence, log, "starttls", tls,
                                                         require_starttls=True, auth=True, auth_required=True,
                                                         issuer=issuer, port=587 if well_known else 0))
            if https is not None:
                await start("HTTPS_PORT", start_https(https, certs, cert))
            await start("SMTP_TLSREFUSE_PORT", start_smtp(folder, sequence, log, "tlsrefuse", tls,
                                                          refuse_starttls=True))
        await loop.run_in_executor(None, dovecot.start)
        lines = [f"POP3_PORT={dovecot.port}"] + [f"{key}={port}" for key, port in ports.items()]
        if oauth_port:
            lines.append(f"OAUTH_PORT={oauth_port}")
        if cert is not None:
            lines += [f"POP3S_PORT={dovecot.tls_port}", f"CA_FILE={ca_file(certs)}",
                      f"CERT_FILE={cert_file(certs, cert)}",
                      f"CERT_FINGERPRINT={fingerprint(cert_file(certs, cert))}"]
        text = "\n".join(lines + ["READY=1"]) + "\n"
        write_atomically(ports_env, text.encode())
        sys.stdout.write(text)
        sys.stdout.flush()
        await stop.wait()
    finally:
        for server in servers:
            server.close()
        dovecot.stop()
        if oauth_server is not None:
            oauth_server.shutdown()
        if os.path.exists(ports_env):
            os.remove(ports_env)


# ---------------------------------------------------------------- wire-recording proxy

class Relay:
    def __init__(self, target, record, up_delay, down_delay):
        self.target = target
        self.record = open(record, "ab", buffering=0)
        self.delays = {">": up_delay / 1000.0, "<": down_delay / 1000.0}
        self.opened = 0
        self.closed = 0

    def note(self, mark, ident, data=b""):
        self.record.write(f"{mark} {ident} {len(data)}\n".encode() + data)

    async def pipe(self, ident, mark, reader, writer, transports):
        """Copies one direction, each piece held back by the delay; order is kept."""
        loop = asyncio.get_running_loop()
        queue = asyncio.Queue()

        async def send():
            while True:
                due, data = await queue.get()
                if due > loop.time():
                    await asyncio.sleep(due - loop.time())
                if data is None:
                    if writer.can_write_eof():
                        writer.write_eof()
                    return
                writer.write(data)
                await writer.drain()

        sender = asyncio.ensure_future(send())
        try:
            while True:
                data = await reader.read(65536)
                if data:
                    self.note(mark, ident, data)
                queue.put_nowait((loop.time() + self.delays[mark], data or None))
                if not data:
                    break
            await sender
        except (OSError, asyncio.IncompleteReadError):
            # One side broke off: so does the other, as it would without the relay.
            sender.cancel()
            for transport in transports:
                transport.abort()

    async def handle(self, client_reader, client_writer):
        self.opened += 1
        ident = self.opened
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", self.target)
        except OSError:
            client_writer.transport.abort()
        else:
            transports = (client_writer.transport, server_writer.transport)
            await asyncio.gather(self.pipe(ident, ">", client_reader, server_writer, transports),
                                 self.pipe(ident, "<", server_reader, client_writer, transports))
            server_writer.close()
            client_writer.close()
        self.note("x", ident)
        self.closed += 1
        sys.stdout.write(f"CLOSED {self.closed}\n")
        sys.stdout.flush()


async def proxy(target, record, up_delay, down_delay):
    loop = asyncio.get_running_loop()
    stop = asyncio.Event()
    stop_on_signal_or_eof(loop, stop)
    relay = Relay(target, record, up_delay, down_delay)
    server = await asyncio.start_server(relay.handle, "127.0.0.1", 0)
    sys.stdout.write(f"PROXY_PORT={server.sockets[0].getsockname()[1]}\n")
    sys.stdout.flush()
    try:
        await stop.wait()
    finally:
        server.close()


def main(argv):
    command = "serve"
    if argv and argv[0] in ("serve", "adduser", "deliver", "certs", "proxy"):
        command, argv = argv[0], argv[1:]
    parser = argparse.ArgumentParser(prog=f"testservers.py {command}" if command != "serve" else None,
                                     description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    if command == "proxy":
        parser.add_argument("--target", type=int, required=True, help="port on 127.0.0.1 to relay to")
        parser.add_argument("--record", required=True, help="file that receives every byte relayed")
        parser.add_argument("--delay-ms", type=int, default=0, help="delay of both directions")
        parser.add_argument("--up-delay-ms", type=int, help="delay of client-to-server bytes")
        parser.add_argument("--down-delay-ms", type=int, help="delay of server-to-client bytes")
        args = parser.parse_args(argv)
        up = args.delay_ms if args.up_delay_ms is None else args.up_delay_ms
        down = args.delay_ms if args.down_delay_ms is None else args.down_delay_ms
        try:
            asyncio.run(proxy(args.target, args.record, up, down))
        except OSError as e:
            print(f"testservers.py: {e}", file=sys.stderr)
            return 1
        return 0
    parser.add_argument("--dir", required=True, help="scratch folder for everything the servers keep")
    if command == "serve":
        parser.add_argument("--tls", action="store_true", help="add the TLS servers")
        parser.add_argument("--cert", choices=CERT_VARIANTS, help="certificate the TLS servers present")
        parser.add_argument("--certs", help="folder of the CA and certificates, made if missing (DIR/tls)")
        parser.add_argument("--listen", default="127.0.0.1", help="loopback address to listen on")
        parser.add_argument("--ipv6", action="store_true", help="listen on ::1 as well")
        parser.add_argument("--well-known-ports", action="store_true", help="110, 995, 465, 587 and 443")
        parser.add_argument("--https", help="folder whose files an HTTPS server serves")
        parser.add_argument("--name", action="append", default=[], help="DNS name for the trusted certificate")
        parser.add_argument("--oauth", metavar="NAME", help="add the OAuth 2.0 test issuer approving NAME")
    if command == "deliver":
        parser.add_argument("--user", required=True, help="mailbox owner")
        parser.add_argument("files", nargs="+", help="raw message files, '-' for stdin")
    elif command != "certs":
        parser.add_argument("--user", action="append", default=[], help="NAME:PASS, may repeat")
    args = parser.parse_args(argv)
    folder = os.path.abspath(args.dir)
    os.makedirs(folder, exist_ok=True)
    try:
        if command == "serve":
            cert = args.cert or ("trusted" if args.tls else None)
            certs = os.path.abspath(args.certs) if args.certs else os.path.join(folder, "tls")
            LISTEN.update(address=args.listen, ipv6=args.ipv6, well_known=args.well_known_ports)
            if not args.listen.startswith("127.") or args.listen.count(".") != 3:
                raise Failure("--listen takes a loopback address (127.x.y.z)")
            https = os.path.abspath(args.https) if args.https else None
            asyncio.run(serve(folder, args.user, cert, certs, args.name, https, args.oauth))
        elif command == "certs":
            make_certificates(folder)
        elif command == "adduser":
            add_users(folder, args.user)
        else:
            if args.user not in read_users(folder):
                raise Failure(f"unknown user '{args.user}'")
            for name in args.files:
                if name == "-":
                    deliver(folder, args.user, sys.stdin.buffer.read())
                else:
                    with open(name, "rb") as f:
                        deliver(folder, args.user, f.read())
    except (Failure, OSError) as e:
        print(f"testservers.py: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
