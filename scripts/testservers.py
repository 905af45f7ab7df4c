#!/usr/bin/python3
"""Real mail servers on loopback for tests and the demo.

  testservers.py --dir DIR [--user NAME:PASS ...]
      Prepares DIR, starts a Dovecot POP3 server and an aiosmtpd SMTP server on free
      127.0.0.1 ports and writes DIR/ports.env (POP3_PORT=..., SMTP_PORT=...) once both
      accept connections; the same lines go to stdout. Runs in the foreground until
      SIGTERM, SIGINT or end of input on stdin, then stops both servers.
      Every message the SMTP server accepts is stored byte-exact (the bytes after DATA)
      in the Maildir of each recipient whose local part is a known user, whatever the
      domain, and as DIR/smtp/NNNNNN.eml in arrival order. Recipients whose local part
      begins with "refused" are refused (550), as unknown users are by real servers.

  testservers.py adduser --dir DIR --user NAME:PASS [--user ...]
      Adds or replaces users; a running Dovecot picks up the change at the next login.

  testservers.py deliver --dir DIR --user NAME FILE [FILE ...]
      Drops raw message files ("-" reads stdin) into the user's Maildir, in order.

Nothing here talks to anything but 127.0.0.1. When run as root, mail belongs to the
user "nobody" because Dovecot refuses to serve mail as root.
"""

import argparse
import asyncio
import os
import pwd
import signal
import socket
import subprocess
import sys
import threading
import time

DOVECOT = "/usr/sbin/dovecot"
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


# ---------------------------------------------------------------- Dovecot

def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def greets(port):
    """A listening socket alone is not enough: Dovecot's master binds before it may fail."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1.0) as s:
            return s.recv(64).startswith(b"+OK")
    except OSError:
        return False


def dovecot_conf(folder, port):
    uid, _, login = mail_owner()
    root = os.geteuid() == 0
    internal = "dovecot" if root else login
    login_user = "dovenull" if root else login
    chroot = "" if root else "  chroot =\n"
    # Without root the master cannot hand sockets to Dovecot's own group.
    own_group = "" if root else "".join(
        f"service {service} {{\n  unix_listener {listener} {{\n    group =\n  }}\n}}\n"
        for service, listener in (("stats", "stats-writer"), ("dict", "dict"), ("dict-async", "dict-async")))
    return f"""# Test instance; everything lives below {folder}.
protocols = pop3
listen = 127.0.0.1
base_dir = {folder}/run
state_dir = {folder}/state
instance_name = corvane-test-{os.getpid()}
log_path = {folder}/dovecot.log
info_log_path = {folder}/dovecot.log
default_internal_user = {internal}
default_login_user = {login_user}
first_valid_uid = {min(uid, 500) or 1}
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain login
auth_failure_delay = 0
mail_location = maildir:~/Maildir
pop3_uidl_format = %08Xu%08Xv
passdb {{
  driver = passwd-file
  args = scheme=PLAIN username_format=%u {users_path(folder)}/%u
}}
userdb {{
  driver = passwd-file
  args = username_format=%u {users_path(folder)}/%u
}}
service pop3-login {{
{chroot}  inet_listener pop3 {{
    address = 127.0.0.1
    port = {port}
  }}
  inet_listener pop3s {{
    port = 0
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
    def __init__(self, folder):
        self.folder = folder
        self.process = None
        self.port = None

    def start(self):
        if not os.access(DOVECOT, os.X_OK):
            raise Failure(f"{DOVECOT} not found; install dovecot-core and dovecot-pop3d")
        for _ in range(3):  # another program may take the free port before Dovecot binds it
            self.port = free_port()
            conf = os.path.join(self.folder, "dovecot.conf")
            write_atomically(conf, dovecot_conf(self.folder, self.port).encode())
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


class Handler:
    """Accepts every recipient except those whose local part begins with "refused", which
    get the answer a server gives for an unknown user."""

    def __init__(self, folder):
        self.folder = folder
        self.count = len([n for n in os.listdir(os.path.join(folder, "smtp")) if n.endswith(".eml")])

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if local_part(address).startswith("refused"):
            return "550 5.1.1 No such user here"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        data = envelope.original_content
        self.count += 1
        write_atomically(os.path.join(self.folder, "smtp", f"{self.count:06d}.eml"), data)
        users = read_users(self.folder)
        delivered = set()
        for rcpt in envelope.rcpt_tos:
            local = local_part(rcpt)
            if local in users and local not in delivered:
                delivered.add(local)
                deliver(self.folder, local, data)
        return "250 OK"


async def start_smtp(folder):
    from aiosmtpd.smtp import SMTP  # only the server needs it

    handler = Handler(folder)
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("127.0.0.1", 0))
    loop = asyncio.get_running_loop()
    # A fixed host name: the default asks the resolver, which may wait on a network.
    server = await loop.create_server(
        lambda: SMTP(handler, hostname="corvane.test", data_size_limit=None, decode_data=False), sock=sock)
    return server, sock.getsockname()[1]


# ---------------------------------------------------------------- commands

async def serve(folder, users):
    make_traversable(folder)
    for sub in ("run", "state", "smtp"):
        make_dir(os.path.join(folder, sub), mode=0o755)
    ports_env = os.path.join(folder, "ports.env")
    if os.path.exists(ports_env):
        os.remove(ports_env)
    add_users(folder, users)
    loop = asyncio.get_running_loop()
    stop = asyncio.Event()
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
    dovecot = Dovecot(folder)
    server = None
    try:
        server, smtp_port = await start_smtp(folder)
        await loop.run_in_executor(None, dovecot.start)
        text = f"POP3_PORT={dovecot.port}\nSMTP_PORT={smtp_port}\n"
        write_atomically(ports_env, text.encode())
        sys.stdout.write(text)
        sys.stdout.flush()
        await stop.wait()
    finally:
        if server is not None:
            server.close()
        dovecot.stop()
        if os.path.exists(ports_env):
            os.remove(ports_env)


def main(argv):
    command = "serve"
    if argv and argv[0] in ("serve", "adduser", "deliver"):
        command, argv = argv[0], argv[1:]
    parser = argparse.ArgumentParser(prog=f"testservers.py {command}" if command != "serve" else None,
                                     description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dir", required=True, help="scratch folder for everything the servers keep")
    if command == "deliver":
        parser.add_argument("--user", required=True, help="mailbox owner")
        parser.add_argument("files", nargs="+", help="raw message files, '-' for stdin")
    else:
        parser.add_argument("--user", action="append", default=[], help="NAME:PASS, may repeat")
    args = parser.parse_args(argv)
    folder = os.path.abspath(args.dir)
    os.makedirs(folder, exist_ok=True)
    try:
        if command == "serve":
            asyncio.run(serve(folder, args.user))
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
