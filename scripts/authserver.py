#!/usr/bin/python3
"""A small OAuth 2.0 authorization server on loopback for the sign-in tests.

  authserver.py [--user NAME]
      Serves on a free 127.0.0.1 port and prints OAUTH_PORT=N; runs until end of input.

Endpoints (all on http://127.0.0.1:PORT):
  GET  /authorize   approves NAME at once and redirects to the client's loopback
                    redirect_uri with code and state; PKCE (S256) is required
  POST /token       authorization_code (checks the PKCE verifier and redirect_uri),
                    refresh_token and the device code grant (RFC 8628); access tokens
                    live ACCESS_LIFETIME seconds, the answer carries an unsigned ID token
                    whose "email" is NAME
  POST /device      a device code, its user code and the polling interval (1 s)
  POST /introspect  RFC 7662: {"active": true, "username": NAME} for a live access token
  POST /revoke      RFC 7009: ends a refresh token and the access tokens it gave
  POST /control     test knobs as JSON: {"state": "wrong"} tampers the next redirect's
                    state; {"expire": true} ends every access token now; {"device_polls": N}
                    approves a device code at its N-th poll, answering slow_down at the
                    first; every answer carries the log of grants and every code and
                    token issued
The server's decisions go to its log ("code ok", "refresh refused", ...), which /control
returns. Nothing here talks to anything but 127.0.0.1.
"""

import argparse
import base64
import hashlib
import json
import secrets
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

ACCESS_LIFETIME = 600


def b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


class Issuer:
    """Every grant and token of one server; the handlers share it under one lock."""

    def __init__(self, user):
        self.user = user
        self.lock = threading.Lock()
        self.codes, self.access, self.refresh, self.devices = {}, {}, {}, {}
        self.tamper_state = False
        self.device_polls = 1
        self.log = []
        self.issued = []  # every code and token handed out, for the tests' leak checks

    def note(self, text):
        self.log.append(text)

    def issue(self, client):
        access, refresh = "at-" + secrets.token_urlsafe(24), "rt-" + secrets.token_urlsafe(24)
        self.access[access] = {"user": self.user, "expires": time.time() + ACCESS_LIFETIME, "refresh": refresh}
        self.refresh[refresh] = {"user": self.user, "client": client}
        self.issued += [access, refresh]
        claims = b64url(json.dumps({"email": self.user, "sub": self.user}).encode())
        return {"access_token": access, "refresh_token": refresh, "token_type": "Bearer",
                "expires_in": ACCESS_LIFETIME, "id_token": f"{b64url(b'{}')}.{claims}.x"}

    def live(self, token):
        entry = self.access.get(token)
        return entry is not None and entry["expires"] > time.time()

    def authorize(self, query):
        redirect = query.get("redirect_uri", "")
        if query.get("response_type") != "code" or not redirect.startswith("http://127.0.0.1:"):
            return 400, "bad request", None
        if query.get("code_challenge_method") != "S256" or not query.get("code_challenge"):
            self.note("authorize refused: no PKCE")
            return 400, "PKCE required", None
        code = "code-" + secrets.token_urlsafe(16)
        self.codes[code] = dict(query)
        self.issued.append(code)
        state = query.get("state", "")
        if self.tamper_state:
            self.tamper_state, state = False, state + "-tampered"
        self.note("authorize ok")
        return 302, None, redirect + "?" + urllib.parse.urlencode({"code": code, "state": state})

    def token(self, form):
        grant = form.get("grant_type")
        if grant == "authorization_code":
            request = self.codes.pop(form.get("code", ""), None)
            verifier = form.get("code_verifier", "")
            if (request is None or request.get("redirect_uri") != form.get("redirect_uri")
                    or b64url(hashlib.sha256(verifier.encode()).digest()) != request.get("code_challenge")):
                self.note("code refused")
                return 400, {"error": "invalid_grant"}
            self.note("code ok")
            return 200, self.issue(form.get("client_id"))
        if grant == "refresh_token":
            if form.get("refresh_token") not in self.refresh:
                self.note("refresh refused")
                return 400, {"error": "invalid_grant"}
            self.note("refresh ok")
            answer = self.issue(form.get("client_id"))
            del self.refresh[answer["refresh_token"]]
            answer.pop("refresh_token")
            self.access[answer["access_token"]]["refresh"] = form["refresh_token"]
            return 200, answer
        if grant == "urn:ietf:params:oauth:grant-type:device_code":
            device = self.devices.get(form.get("device_code", ""))
            if device is None:
                return 400, {"error": "expired_token"}
            device["polls"] += 1
            if device["polls"] < self.device_polls:
                self.note("device pending")
                return 400, {"error": "slow_down" if device["polls"] == 1 else "authorization_pending"}
            del self.devices[form["device_code"]]
            self.note("device ok")
            return 200, self.issue(form.get("client_id"))
        return 400, {"error": "unsupported_grant_type"}

    def device(self, form, port):
        code = "dc-" + secrets.token_urlsafe(16)
        self.devices[code] = {"polls": 0, "client": form.get("client_id")}
        return 200, {"device_code": code, "user_code": "WDJB-MJHT", "expires_in": 600, "interval": 1,
                     "verification_uri": f"http://127.0.0.1:{port}/activate"}

    def introspect(self, form):
        token = form.get("token", "")
        if not self.live(token):
            self.note("introspect inactive")
            return 200, {"active": False}
        self.note("introspect active")
        return 200, {"active": True, "username": self.access[token]["user"], "scope": "mail"}

    def revoke(self, form):
        token = form.get("token", "")
        self.refresh.pop(token, None)
        for entry in self.access.values():
            if entry["refresh"] == token:
                entry["expires"] = 0
        self.note("revoked")
        return 200, {}

    def control(self, knobs):
        if knobs.get("state") == "wrong":
            self.tamper_state = True
        if knobs.get("expire"):
            for entry in self.access.values():
                entry["expires"] = 0
        if "device_polls" in knobs:
            self.device_polls = int(knobs["device_polls"])
        return 200, {"log": self.log, "issued": self.issued}

    def check_bearer(self, user, token):
        """For the SMTP test servers: the token is live and was issued to user."""
        with self.lock:
            ok = self.live(token) and self.access[token]["user"] == user
            self.note(f"smtp {'accepted' if ok else 'refused'}")
            return ok


def handler_class(issuer):
    class Handler(BaseHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def reply(self, status, body=None, location=None):
            data = json.dumps(body).encode() if isinstance(body, dict) else (body or "").encode()
            self.send_response(status)
            if location:
                self.send_header("Location", location)
            self.send_header("Content-Type", "application/json" if isinstance(body, dict) else "text/plain")
            self.send_header("Content-Length", str(len(data)))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(data)

        def do_GET(self):
            url = urllib.parse.urlsplit(self.path)
            query = dict(urllib.parse.parse_qsl(url.query))
            if url.path != "/authorize":
                return self.reply(404, "not found")
            with issuer.lock:
                status, text, location = issuer.authorize(query)
            self.reply(status, text, location)

        def do_POST(self):
            length = int(self.headers.get("Content-Length") or 0)
            raw = self.rfile.read(length).decode()
            path = urllib.parse.urlsplit(self.path).path
            with issuer.lock:
                if path == "/control":
                    return self.reply(*issuer.control(json.loads(raw or "{}")))
                form = dict(urllib.parse.parse_qsl(raw))
                if path == "/token":
                    return self.reply(*issuer.token(form))
                if path == "/device":
                    return self.reply(*issuer.device(form, self.server.server_address[1]))
                if path == "/introspect":
                    return self.reply(*issuer.introspect(form))
                if path == "/revoke":
                    return self.reply(*issuer.revoke(form))
            self.reply(404, "not found")

    return Handler


def start(user):
    """Starts the server on a thread; returns the issuer, the server and its port."""
    issuer = Issuer(user)
    server = ThreadingHTTPServer(("127.0.0.1", 0), handler_class(issuer))
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return issuer, server, server.server_address[1]


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--user", default="alice", help="the account every sign-in approves")
    args = parser.parse_args(argv)
    _, server, port = start(args.user)
    print(f"OAUTH_PORT={port}", flush=True)
    try:
        while sys.stdin.buffer.read1(4096):
            pass
    except (OSError, ValueError):
        pass
    server.shutdown()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
