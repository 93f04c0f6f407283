"""brix-oauth2 against a fake authorization server on 127.0.0.1: the browser
and device flows end to end, refresh, expiry, rotation, revocation, the
token file (mode, atomic replacement, concurrent refreshes), the keyring,
and every failure naming what failed.  No secret but the access token may
reach the terminal."""

import errno
import io
import json
import os
import re
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time
import types
import unittest
import urllib.error
import urllib.parse
import urllib.request
from contextlib import redirect_stderr, redirect_stdout
from unittest import mock

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
HELPER = os.path.join(HERE, "..", "..", "tools", "oauth2", "brix-oauth2")
sys.path.insert(0, HERE)

from fake_authorization_server import FakeAuthorizationServer  # noqa: E402


def load_helper():
    # The helper is a script without the .py ending: its text is run into a
    # module of its own.
    module = types.ModuleType("brix_oauth2")
    module.__file__ = HELPER
    with open(HELPER, encoding="utf-8") as f:
        exec(compile(f.read(), HELPER, "exec"), module.__dict__)
    return module


helper = load_helper()

# The in-process runs talk to 127.0.0.1 directly too.
for variable in [v for v in os.environ if v.lower().endswith("_proxy")]:
    del os.environ[variable]

# The browser: no proxy between the test and 127.0.0.1.
browser = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class HelperTest(unittest.TestCase):
    """A fake provider, a home folder, and runs of the helper in it."""

    rotate = False

    def setUp(self):
        self.home = tempfile.TemporaryDirectory()
        self.addCleanup(self.home.cleanup)
        self.fake = FakeAuthorizationServer(rotate=self.rotate).start()
        self.addCleanup(self.fake.stop)
        self.dir = os.path.join(self.home.name, ".config", "brix", "oauth2")
        self.env = {k: v for k, v in os.environ.items()
                    if k not in ("DISPLAY", "WAYLAND_DISPLAY", "BROWSER")
                    and not k.lower().endswith("_proxy")}
        self.env["HOME"] = self.home.name
        self.outputs = []

    def tearDown(self):
        # Whatever the helper printed, no secret but access tokens.
        secrets = [s for s in [self.fake.client_secret, *self.fake.refresh_tokens] if s]
        for text in self.outputs:
            for secret in secrets:
                self.assertNotIn(secret, text)

    def provider_args(self, *more):
        return ["--auth-url", self.fake.url("/authorize"), "--token-url", self.fake.url("/token"),
                "--device-url", self.fake.url("/device"), "--scope", "mail",
                "--client-id", self.fake.client_id, "--client-secret", self.fake.client_secret,
                *more]

    def run_helper(self, *args, timeout=60):
        done = subprocess.run([sys.executable, HELPER, *args], capture_output=True, text=True,
                              env=self.env, timeout=timeout)
        self.outputs += [done.stdout, done.stderr]
        return done

    def start_helper(self, *args):
        process = subprocess.Popen([sys.executable, HELPER, *args], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True, env=self.env)
        killer = threading.Timer(30, process.kill)
        killer.start()
        self.addCleanup(killer.cancel)
        return process

    def finish(self, process):
        out, err = process.communicate(timeout=30)
        self.outputs += [out, err]
        return process.returncode, out, err

    def wait_for_line(self, process, pattern):
        """Reads the helper's output up to the line that matches."""
        seen = ""
        for line in process.stdout:
            seen += line
            found = re.search(pattern, line)
            if found:
                self.outputs.append(seen)
                return found
        self.fail(f"no line like {pattern!r} in {seen!r}")

    def authorize(self, name="gmail", *more):
        """The browser flow, the test as the browser: it fetches the
        printed address and follows the redirect to the helper."""
        process = self.start_helper("authorize", name, *self.provider_args(*more))
        url = self.wait_for_line(process, r"^  (http://\S+)$").group(1)
        with browser.open(url, timeout=10) as page:
            self.assertIn("You may close this window", page.read().decode())
        return url, *self.finish(process)

    def path(self, name="gmail"):
        return os.path.join(self.dir, name + ".json")

    def record(self, name="gmail"):
        with open(self.path(name)) as f:
            return json.load(f)

    def edit_record(self, name="gmail", **changes):
        record = self.record(name)
        record.update(changes)
        with open(self.path(name), "w") as f:
            json.dump(record, f)

    def token(self, name="gmail", *more):
        return self.run_helper("token", name, *more)


class CodeFlow(HelperTest):
    def test_first_authorization_keeps_the_refresh_token_in_a_private_file(self):
        url, code, out, err = self.authorize()
        self.assertEqual((code, err), (0, ""))
        self.assertIn("brix-oauth2 token gmail", out)
        query = urllib.parse.parse_qs(urllib.parse.urlsplit(url).query)
        self.assertEqual(query["code_challenge_method"], ["S256"])
        self.assertRegex(query["redirect_uri"][0], r"^http://127\.0\.0\.1:\d+$")
        self.assertEqual(query["scope"], ["mail"])
        # The code went back with its verifier (the fake checks it).
        self.assertEqual(len(self.fake.grants("authorization_code")), 1)
        self.assertEqual(stat.S_IMODE(os.stat(self.path()).st_mode), 0o600)
        self.assertEqual(stat.S_IMODE(os.stat(self.dir).st_mode), 0o700)
        record = self.record()
        self.assertEqual(record["refresh_token"], self.fake.valid_refresh_tokens()[0])
        self.assertEqual(record["client_secret"], self.fake.client_secret)
        self.assertEqual(record["token_url"], self.fake.url("/token"))
        self.assertEqual(record["access_token"], "access-1")
        self.assertEqual([f for f in os.listdir(self.dir) if f.endswith(".tmp")], [])
        # The access token still has an hour: no request for it.
        done = self.token()
        self.assertEqual((done.returncode, done.stdout, done.stderr), (0, "access-1\n", ""))
        self.assertEqual(self.fake.grants("refresh_token"), [])

    def test_authorizing_again_reuses_the_settings_of_the_token_file(self):
        self.authorize()
        self.fake.revoke_all()
        process = self.start_helper("authorize", "gmail")
        url = self.wait_for_line(process, r"^  (http://\S+)$").group(1)
        browser.open(url, timeout=10).close()
        code, out, err = self.finish(process)
        self.assertEqual((code, err), (0, ""))
        self.assertEqual(self.record()["refresh_token"], self.fake.valid_refresh_tokens()[0])
        self.assertEqual(self.fake.grants("authorization_code")[-1]["client_secret"],
                         self.fake.client_secret)

    def test_stray_connections_and_answers_do_not_hold_up_the_real_one(self):
        process = self.start_helper("authorize", "gmail", *self.provider_args())
        url = self.wait_for_line(process, r"^  (http://\S+)$").group(1)
        port = int(self.wait_for_line(process, r"port (\d+)").group(1))
        # A browser's speculative connection that never sends a request.
        idle = socket.create_connection(("127.0.0.1", port))
        self.addCleanup(idle.close)
        with self.assertRaises(urllib.error.HTTPError) as refused:
            browser.open(f"http://127.0.0.1:{port}/?code=forged&state=other", timeout=10)
        self.assertEqual(refused.exception.code, 400)
        browser.open(url, timeout=10).close()
        code, _, err = self.finish(process)
        self.assertEqual((code, err), (0, ""))
        self.assertNotIn("forged", [f.get("code") for f in self.fake.grants("authorization_code")])

    def test_access_denied_in_the_browser_stores_nothing(self):
        self.fake.deny = True
        process = self.start_helper("authorize", "gmail", *self.provider_args())
        url = self.wait_for_line(process, r"^  (http://\S+)$").group(1)
        browser.open(url, timeout=10).close()
        code, _, err = self.finish(process)
        self.assertEqual(code, 1)
        self.assertIn("did not grant access: access_denied", err)
        self.assertFalse(os.path.exists(self.path()))

    def test_no_answer_from_the_browser_ends_the_wait(self):
        done = self.run_helper("authorize", "gmail", *self.provider_args("--wait", "1"))
        self.assertEqual(done.returncode, 1)
        self.assertIn("no answer from the browser within 1 s", done.stderr)


class Refresh(HelperTest):
    def setUp(self):
        super().setUp()
        self.assertEqual(self.authorize()[1], 0)

    def test_a_token_with_less_than_a_minute_left_is_refreshed(self):
        now = int(time.time())
        # (expiry in the file, whether `token` must refresh)
        for expires, refreshes in ((now + 3600, False), (now + 61 + 5, False), (now + 59, True),
                                   (now - 10, True), (0, True), ("soon", True)):
            with self.subTest(expires=expires):
                before = len(self.fake.grants("refresh_token"))
                self.edit_record(access_token="cached", access_token_expires=expires)
                done = self.token()
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertEqual(len(self.fake.grants("refresh_token")), before + refreshes)
                expected = self.fake.access_tokens[-1] if refreshes else "cached"
                self.assertEqual(done.stdout, expected + "\n")
                record = self.record()
                self.assertEqual(record["access_token"], expected)
                if refreshes:
                    self.assertAlmostEqual(record["access_token_expires"], time.time() + 3600,
                                           delta=30)
        # No rotation here: the first refresh token serves throughout.
        self.assertEqual(len(self.fake.refresh_tokens), 1)
        self.assertEqual(self.fake.grants("refresh_token")[0]["client_secret"],
                         self.fake.client_secret)

    def test_revoked_refresh_token_says_to_authorize_again(self):
        self.fake.revoke_all()
        self.edit_record(access_token_expires=0)
        before = self.record()
        done = self.token()
        self.assertEqual(done.returncode, 3)
        self.assertEqual(done.stdout, "")
        self.assertIn("invalid_grant", done.stderr)
        self.assertIn("expired or was revoked", done.stderr)
        self.assertIn("Run `brix-oauth2 authorize gmail`", done.stderr)
        self.assertEqual(done.stderr.count("\n"), 1)
        self.assertEqual(self.record(), before)

    def test_failures_name_what_failed(self):
        self.edit_record(access_token_expires=0)
        port = closed_port()
        cases = [
            # (set-up, options, exit code, message)
            (lambda: setattr(self.fake, "delay", 3), ["--timeout", "1"], 1,
             f"the token endpoint {self.fake.url('/token')} did not answer within 1 s"),
            (lambda: setattr(self.fake, "dribble", True), ["--timeout", "1"], 1,
             f"the token endpoint {self.fake.url('/token')} did not answer within 1 s"),
            (lambda: setattr(self.fake, "broken", True), [], 1,
             f"the token endpoint {self.fake.url('/token')} answered HTTP 502 with something "
             "that is not JSON"),
            (lambda: self.edit_record(token_url=f"http://127.0.0.1:{port}/token"), [], 1,
             f"cannot reach the token endpoint http://127.0.0.1:{port}/token: "),
            (lambda: self.edit_record(client_id="someone-else"), [], 1,
             "the provider refused the client of gmail (invalid_client: Unauthorized client)"),
            (lambda: self.edit_record(token_url="http://example.org/token"), [], 1,
             "the token endpoint 'http://example.org/token' is not an https:// address"),
        ]
        good = self.record()
        for arrange, options, code, message in cases:
            with self.subTest(message=message):
                arrange()
                done = self.token("gmail", *options)
                self.assertEqual(done.returncode, code)
                self.assertEqual(done.stdout, "")
                self.assertIn(message, done.stderr)
                self.fake.delay, self.fake.broken, self.fake.dribble = 0, False, False
                with open(self.path(), "w") as f:
                    json.dump(good, f)

    def test_a_missing_or_broken_token_file_is_named(self):
        done = self.token("outlook")
        self.assertEqual(done.returncode, 3)
        self.assertIn(f"no token file {self.path('outlook')}: run `brix-oauth2 authorize "
                      "outlook` first", done.stderr)
        with open(self.path(), "w") as f:
            f.write("{ half")
        done = self.token()
        self.assertEqual(done.returncode, 1)
        self.assertIn(f"{self.path()} is not a token file", done.stderr)
        done = self.token("../gmail")
        self.assertEqual(done.returncode, 2)
        self.assertIn("is no token name", done.stderr)

    def test_a_file_others_may_read_is_warned_about(self):
        os.chmod(self.path(), 0o644)
        done = self.token()
        self.assertEqual(done.returncode, 0)
        self.assertIn(f"others may read {self.path()}; chmod 600 it", done.stderr)

    def test_a_failed_write_keeps_the_old_file_and_prints_no_token(self):
        self.edit_record(access_token_expires=0)
        before = self.record()

        def full(fd):
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

        out, err = io.StringIO(), io.StringIO()
        with mock.patch.object(helper.os, "fsync", full), redirect_stdout(out), \
                redirect_stderr(err):
            code = helper.main(["token", "gmail", "--dir", self.dir])
        self.assertEqual(code, 1)
        self.assertEqual(out.getvalue(), "")
        self.assertIn(f"cannot write {self.path()}: No space left on device", err.getvalue())
        self.assertEqual(self.record(), before)
        self.assertEqual(sorted(os.listdir(self.dir)), [".gmail.json.lock", "gmail.json"])


class Rotation(HelperTest):
    rotate = True

    def test_a_rotated_refresh_token_is_kept_for_the_next_refresh(self):
        self.assertEqual(self.authorize()[1], 0)
        for round in range(2):
            self.edit_record(access_token_expires=0)
            done = self.token()
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertEqual(self.record()["refresh_token"], self.fake.valid_refresh_tokens()[0])
        self.assertEqual(len(self.fake.valid_refresh_tokens()), 1)

    def test_concurrent_runs_refresh_once(self):
        # A box's POP3 and SMTP jobs may ask at the same moment; with
        # rotation the second refresh would present a spent token.
        self.assertEqual(self.authorize()[1], 0)
        self.edit_record(access_token_expires=0)
        self.fake.delay = 0.5
        runs = [self.start_helper("token", "gmail") for _ in range(3)]
        results = [self.finish(run) for run in runs]
        self.assertEqual([r[0] for r in results], [0, 0, 0], results)
        self.assertEqual({r[1] for r in results}, {"access-2\n"})
        self.assertEqual(len(self.fake.grants("refresh_token")), 1)


class DeviceFlow(HelperTest):
    def test_the_code_entered_elsewhere_authorizes(self):
        process = self.start_helper("authorize", "outlook", "--device", *self.provider_args())
        found = self.wait_for_line(process, r"open (\S+) and enter the code (\S+)$")
        self.assertEqual(found.group(1), self.fake.url("/verify"))
        browser.open(f"{found.group(1)}?user_code={found.group(2)}", timeout=10).close()
        code, _, err = self.finish(process)
        self.assertEqual((code, err), (0, ""))
        self.assertEqual(self.record("outlook")["refresh_token"],
                         self.fake.valid_refresh_tokens()[0])
        done = self.token("outlook")
        self.assertEqual((done.returncode, done.stdout), (0, "access-1\n"))

    def test_polling_waits_as_told_and_slows_down(self):
        # Pending, slow_down, pending, then the user allows: the interval
        # grows by five seconds at slow_down (RFC 8628 section 3.5).
        self.fake.slow_down_polls = 1
        waits = []

        def sleep(seconds):
            waits.append(seconds)
            if len(waits) == 3:
                for device in self.fake.devices.values():
                    device["approved"] = True

        args = helper.parser().parse_args(["authorize", "x", *self.provider_args()])
        settings, _ = helper.settings_for(args, {})
        with redirect_stdout(io.StringIO()):
            answer = helper.device_flow(settings, {"client_secret": self.fake.client_secret},
                                        args, sleep=sleep)
        self.assertEqual(answer["access_token"], "access-1")
        self.assertEqual(waits, [1, 6, 6])
        polls = self.fake.grants("urn:ietf:params:oauth:grant-type:device_code")
        self.assertEqual(len(polls), 3)

    def test_denied_or_not_offered(self):
        process = self.start_helper("authorize", "outlook", "--device", *self.provider_args())
        found = self.wait_for_line(process, r"open (\S+) and enter the code (\S+)$")
        browser.open(f"{found.group(1)}?user_code={found.group(2)}&deny=1", timeout=10).close()
        code, _, err = self.finish(process)
        self.assertEqual(code, 1)
        self.assertIn("access was denied in the browser", err)
        self.assertFalse(os.path.exists(self.path("outlook")))
        # Google's device endpoint refuses the mail scope: said before asking.
        done = self.run_helper("authorize", "gmail", "--provider", "google", "--client-id", "id",
                               "--client-secret", "x", "--device")
        self.assertEqual(done.returncode, 1)
        self.assertIn("this provider offers no device flow for mail", done.stderr)


class Providers(HelperTest):
    def test_built_in_endpoints_and_scopes(self):
        # The real addresses go into the authorize URL; nothing is fetched.
        cases = [
            (["--provider", "google", "--client-secret", "x"],
             "https://accounts.google.com/o/oauth2/v2/auth?", "https://mail.google.com/",
             "http://127.0.0.1:", {"access_type": ["offline"], "prompt": ["consent"]}),
            (["--provider", "microsoft", "--tenant", "consumers"],
             "https://login.microsoftonline.com/consumers/oauth2/v2.0/authorize?",
             "https://outlook.office.com/POP.AccessAsUser.All "
             "https://outlook.office.com/SMTP.Send offline_access",
             "http://localhost:", {}),
        ]
        for options, endpoint, scope, redirect, extra in cases:
            with self.subTest(provider=options[1]):
                process = self.start_helper("authorize", "p", "--client-id", "id", "--wait", "1",
                                            *options)
                url = self.wait_for_line(process, r"^  (http\S+)$").group(1)
                code, _, err = self.finish(process)
                self.assertEqual(code, 1)
                self.assertTrue(url.startswith(endpoint), url)
                query = urllib.parse.parse_qs(urllib.parse.urlsplit(url).query)
                self.assertEqual(query["scope"], [scope])
                self.assertTrue(query["redirect_uri"][0].startswith(redirect))
                for key, value in extra.items():
                    self.assertEqual(query[key], value)

    def test_microsoft_refresh_names_the_scope_and_sends_no_secret(self):
        self.fake.client_secret = None  # a public client
        process = self.start_helper(
            "authorize", "outlook", "--provider", "microsoft", "--client-id", self.fake.client_id,
            "--auth-url", self.fake.url("/authorize"), "--token-url", self.fake.url("/token"),
            "--redirect-host", "127.0.0.1")
        url = self.wait_for_line(process, r"^  (http://\S+)$").group(1)
        browser.open(url, timeout=10).close()
        self.assertEqual(self.finish(process)[0], 0)
        self.edit_record("outlook", access_token_expires=0)
        done = self.token("outlook")
        self.assertEqual(done.returncode, 0, done.stderr)
        refresh = self.fake.grants("refresh_token")[0]
        self.assertIn("offline_access", refresh["scope"])
        self.assertNotIn("client_secret", refresh)

    def test_missing_settings_are_asked_for(self):
        cases = [
            ([], "name the provider: --provider google, --provider microsoft"),
            (["--provider", "microsoft"], "--client-id is needed"),
            (["--provider", "google", "--client-id", "x"],
             "this provider wants the client secret too"),
            (["--auth-url", "https://a.example/auth", "--client-id", "x", "--scope", "s"],
             "--token-url is needed"),
            (["--auth-url", "http://a.example/auth", "--token-url", "https://a.example/t",
              "--client-id", "x", "--scope", "s"],
             "the authorization endpoint 'http://a.example/auth' is not an https:// address"),
        ]
        for options, message in cases:
            with self.subTest(message=message):
                done = self.run_helper("authorize", "x", *options)
                self.assertNotEqual(done.returncode, 0)
                self.assertIn(message, done.stderr)


FAKE_SECRET_TOOL = """#!/usr/bin/env python3
# secret-tool for the tests: secrets in a JSON file named by FAKE_KEYRING.
import json, os, sys
path = os.environ["FAKE_KEYRING"]
store = json.load(open(path)) if os.path.exists(path) else {}
verb, rest = sys.argv[1], [a for a in sys.argv[2:] if not a.startswith("--label=")]
key = " ".join(rest)
if verb == "store":
    store[key] = sys.stdin.read()
elif verb == "lookup":
    if key not in store:
        sys.exit(1)
    sys.stdout.write(store[key])
elif verb == "clear":
    store.pop(key, None)
json.dump(store, open(path, "w"))
"""


class Keyring(HelperTest):
    rotate = True

    def setUp(self):
        super().setUp()
        bin_dir = os.path.join(self.home.name, "bin")
        os.mkdir(bin_dir)
        tool = os.path.join(bin_dir, "secret-tool")
        with open(tool, "w") as f:
            f.write(FAKE_SECRET_TOOL)
        os.chmod(tool, 0o755)
        self.keyring = os.path.join(self.home.name, "keyring.json")
        self.env["FAKE_KEYRING"] = self.keyring
        self.env["PATH"] = bin_dir + os.pathsep + self.env["PATH"]

    def secret(self):
        with open(self.keyring) as f:
            return json.loads(json.load(f)["service brix-oauth2 account gmail"])

    def test_the_keyring_holds_the_secrets_and_takes_a_rotated_token(self):
        self.assertEqual(self.authorize("gmail", "--store", "secret-tool")[1], 0)
        record = self.record()
        self.assertNotIn("refresh_token", record)
        self.assertNotIn("client_secret", record)
        self.assertEqual(self.secret(), {"client_secret": self.fake.client_secret,
                                         "refresh_token": self.fake.valid_refresh_tokens()[0]})
        self.edit_record(access_token_expires=0)
        done = self.token()
        self.assertEqual((done.returncode, done.stdout), (0, "access-2\n"), done.stderr)
        self.assertEqual(self.secret()["refresh_token"], self.fake.valid_refresh_tokens()[0])
        self.assertNotIn("refresh_token", self.record())
        # Back to the file: the keyring forgets it.
        process = self.start_helper("authorize", "gmail", "--store", "file")
        browser.open(self.wait_for_line(process, r"^  (http://\S+)$").group(1), timeout=10).close()
        self.assertEqual(self.finish(process)[0], 0)
        self.assertEqual(self.record()["refresh_token"], self.fake.valid_refresh_tokens()[-1])
        with open(self.keyring) as f:
            self.assertEqual(json.load(f), {})

    def test_an_empty_keyring_or_none_at_all_is_named(self):
        self.assertEqual(self.authorize("gmail", "--store", "secret-tool")[1], 0)
        os.unlink(self.keyring)
        self.edit_record(access_token_expires=0)
        done = self.token()
        self.assertEqual(done.returncode, 3)
        self.assertIn("the keyring holds no secret for gmail", done.stderr)
        self.env["PATH"] = "/nonexistent"
        done = subprocess.run([sys.executable, HELPER, "token", "gmail"], capture_output=True,
                              text=True, env=self.env)
        self.assertIn("secret-tool is not installed", done.stderr)


class Help(unittest.TestCase):
    def test_each_command_explains_itself(self):
        for command, words in (([], ["authorize", "token", "POP3PASSCMD"]),
                               (["authorize"], ["--device", "--store", "--client-id", "PKCE"]),
                               (["token"], ["one line", "authorize NAME"])):
            done = subprocess.run([sys.executable, HELPER, *command, "--help"],
                                  capture_output=True, text=True)
            self.assertEqual(done.returncode, 0)
            for word in words:
                self.assertIn(word, done.stdout)


if __name__ == "__main__":
    unittest.main()
