#!/usr/bin/env python3
"""A fake OAuth 2.0 authorization server on 127.0.0.1 for the tests of
brix-oauth2: the authorize redirect, the token endpoint (authorization code
with its PKCE check, refresh with optional rotation, the device grant), the
device endpoint and its verification page, expiry and revocation.

In a test:  server = FakeAuthorizationServer(); server.start(); ...
On its own (the C++ test of Brix with the helper as its PASSCMD):
    fake_authorization_server.py --refresh-token RT [--lifetime S]
prints its base address on one line and serves until killed or S seconds
have passed.
"""

import argparse
import base64
import hashlib
import http.server
import json
import secrets
import sys
import threading
import time
import urllib.parse

LOOPBACK_REDIRECTS = ("http://127.0.0.1:", "http://localhost:")


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A client that gave up waiting (the time-out tests) is no fault.
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)


class FakeAuthorizationServer:
    def __init__(self, client_id="brix-test-client", client_secret="s3cret-client",
                 expires_in=3600, rotate=False, interval=1):
        self.client_id = client_id
        self.client_secret = client_secret  # None: a public client
        self.expires_in = expires_in
        self.rotate = rotate          # a refresh hands out a new refresh token
        self.interval = interval      # the device flow's polling interval
        self.deny = False             # the user says no at the authorize page
        self.delay = 0.0              # seconds before the token endpoint answers
        self.broken = False           # the token endpoint answers HTML
        self.dribble = False          # ... or its answer, a byte at a time
        self.slow_down_polls = 0      # device polls answered slow_down first
        self.lock = threading.Lock()
        self.codes = {}               # code -> what it was issued for
        self.refresh_tokens = {}      # token -> still valid
        self.access_tokens = []
        self.devices = {}             # device_code -> {"user_code", "approved"}
        self.requests = []            # (path, fields) of every request
        self.issued = 0
        self.httpd = None

    # -- control -----------------------------------------------------------

    def start(self):
        self.httpd = Server(("127.0.0.1", 0), self._handler())
        threading.Thread(target=self.httpd.serve_forever, args=(0.1,), daemon=True).start()
        return self

    def stop(self):
        if self.httpd:
            self.httpd.shutdown()
            self.httpd.server_close()

    def url(self, path=""):
        return f"http://127.0.0.1:{self.httpd.server_address[1]}{path}"

    def add_refresh_token(self, token):
        with self.lock:
            self.refresh_tokens[token] = True

    def revoke_all(self):
        with self.lock:
            for token in self.refresh_tokens:
                self.refresh_tokens[token] = False

    def grants(self, grant_type):
        """The token requests of one grant type, in order."""
        return [f for p, f in self.requests if p == "/token" and f.get("grant_type") == grant_type]

    def valid_refresh_tokens(self):
        return [t for t, ok in self.refresh_tokens.items() if ok]

    # -- the endpoints -----------------------------------------------------

    def _issue(self, with_refresh=True):
        self.issued += 1
        answer = {"access_token": f"access-{self.issued}", "token_type": "Bearer",
                  "expires_in": self.expires_in}
        self.access_tokens.append(answer["access_token"])
        if with_refresh:
            token = f"refresh-{self.issued}-{secrets.token_hex(4)}"
            self.refresh_tokens[token] = True
            answer["refresh_token"] = token
        return answer

    def authorize(self, query):
        """GET /authorize: the user agrees at once (or not, with `deny`)."""
        one = {k: v[0] for k, v in query.items()}
        redirect = one.get("redirect_uri", "")
        if not redirect.startswith(LOOPBACK_REDIRECTS):
            return 400, {}, "redirect_uri is not a loopback address"
        problems = [
            one.get("response_type") != "code" and "response_type",
            one.get("client_id") != self.client_id and "client_id",
            one.get("code_challenge_method") != "S256" and "code_challenge_method",
            len(one.get("code_challenge", "")) != 43 and "code_challenge",
            not one.get("scope") and "scope",
            not one.get("state") and "state",
        ]
        problems = [p for p in problems if p]
        if problems:
            return 400, {}, "bad " + ", ".join(problems)
        if self.deny:
            answer = {"error": "access_denied", "state": one["state"]}
        else:
            code = secrets.token_urlsafe(16)
            with self.lock:
                self.codes[code] = {"challenge": one["code_challenge"], "redirect_uri": redirect,
                                    "scope": one["scope"]}
            answer = {"code": code, "state": one["state"]}
        return 302, {"Location": redirect + "?" + urllib.parse.urlencode(answer)}, ""

    def token(self, f):
        """POST /token: (status, JSON answer)."""
        if self.delay:
            time.sleep(self.delay)
        if f.get("client_id") != self.client_id or (
            self.client_secret is not None and f.get("client_secret") != self.client_secret
        ):
            return 401, {"error": "invalid_client", "error_description": "Unauthorized client"}
        grant = f.get("grant_type")
        with self.lock:
            if grant == "authorization_code":
                issued = self.codes.pop(f.get("code", ""), None)
                if not issued or issued["redirect_uri"] != f.get("redirect_uri"):
                    return 400, {"error": "invalid_grant", "error_description": "Bad code"}
                digest = hashlib.sha256(f.get("code_verifier", "").encode()).digest()
                if base64.urlsafe_b64encode(digest).rstrip(b"=").decode() != issued["challenge"]:
                    return 400, {"error": "invalid_grant",
                                 "error_description": "code_verifier does not match"}
                return 200, self._issue()
            if grant == "refresh_token":
                token = f.get("refresh_token", "")
                if not self.refresh_tokens.get(token):
                    return 400, {"error": "invalid_grant",
                                 "error_description": "Token has been expired or revoked."}
                if self.rotate:
                    self.refresh_tokens[token] = False
                return 200, self._issue(with_refresh=self.rotate)
            if grant == "urn:ietf:params:oauth:grant-type:device_code":
                device = self.devices.get(f.get("device_code", ""))
                if not device:
                    return 400, {"error": "invalid_grant"}
                if self.slow_down_polls > 0:
                    self.slow_down_polls -= 1
                    return 400, {"error": "slow_down"}
                if device["approved"] is None:
                    return 400, {"error": "authorization_pending"}
                if not device["approved"]:
                    return 400, {"error": "access_denied"}
                del self.devices[f["device_code"]]
                return 200, self._issue()
        return 400, {"error": "unsupported_grant_type"}

    def device(self, f):
        if f.get("client_id") != self.client_id or not f.get("scope"):
            return 400, {"error": "invalid_request"}
        device_code, user_code = secrets.token_urlsafe(16), secrets.token_hex(4).upper()
        with self.lock:
            self.devices[device_code] = {"user_code": user_code, "approved": None}
        return 200, {"device_code": device_code, "user_code": user_code,
                     "verification_uri": self.url("/verify"), "expires_in": 600,
                     "interval": self.interval}

    def verify(self, query):
        """GET /verify?user_code=X[&deny=1]: the user at another device."""
        user_code = query.get("user_code", [""])[0]
        with self.lock:
            for device in self.devices.values():
                if device["user_code"] == user_code:
                    device["approved"] = "deny" not in query
                    return 200, {}, "done"
        return 404, {}, "unknown code"

    def _handler(self):
        fake = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.0"

            def do_GET(self):
                parts = urllib.parse.urlsplit(self.path)
                query = urllib.parse.parse_qs(parts.query)
                fake.requests.append((parts.path, {k: v[0] for k, v in query.items()}))
                if parts.path == "/authorize":
                    self.send(*fake.authorize(query))
                elif parts.path == "/verify":
                    self.send(*fake.verify(query))
                else:
                    self.send(404, {}, "not found")

            def do_POST(self):
                length = int(self.headers.get("Content-Length", "0"))
                body = self.rfile.read(length).decode()
                fields = {k: v[0] for k, v in urllib.parse.parse_qs(body).items()}
                path = urllib.parse.urlsplit(self.path).path
                fake.requests.append((path, fields))
                if self.headers.get("Content-Type") != "application/x-www-form-urlencoded":
                    return self.send_json(400, {"error": "invalid_request"})
                if path == "/token":
                    if fake.broken:
                        return self.send(502, {}, "<html>Bad gateway</html>")
                    if fake.dribble:
                        return self.dribble()
                    return self.send_json(*fake.token(fields))
                if path == "/device":
                    return self.send_json(*fake.device(fields))
                self.send(404, {}, "not found")

            def dribble(self):
                """Each read gets a byte in time; the whole never comes."""
                self.send_response(200)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", "1000")
                self.end_headers()
                for _ in range(50):
                    self.wfile.write(b" ")
                    self.wfile.flush()
                    time.sleep(0.2)

            def send_json(self, status, answer):
                self.send(status, {"Content-Type": "application/json"}, json.dumps(answer))

            def send(self, status, headers, text):
                body = text.encode()
                self.send_response(status)
                for key, value in headers.items():
                    self.send_header(key, value)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        return Handler


def main():
    options = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    options.add_argument("--refresh-token", action="append", default=[])
    options.add_argument("--expires-in", type=int, default=3600)
    options.add_argument("--lifetime", type=float, default=60)
    args = options.parse_args()
    server = FakeAuthorizationServer(expires_in=args.expires_in).start()
    for token in args.refresh_token:
        server.add_refresh_token(token)
    print(server.url(), flush=True)
    time.sleep(args.lifetime)
    server.stop()


if __name__ == "__main__":
    sys.exit(main())
