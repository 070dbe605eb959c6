#!/usr/bin/python3
"""Encrypted keys and sign commands (openssl standing in for a hardware
module): a failure leaves the tree as it was; a success is what the
launcher's own update pass accepts."""

import base64
import functools
import http.server
import os
import subprocess
import sys
import threading
import time
import unittest

from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature

from fixture import TOOL, ClientFixture, run

sys.path.insert(0, os.path.dirname(TOOL))
from korvanth_publish.signing import signature_readings  # noqa: E402

# The build's korvanth-cli and the private half of the key it carries
# ("none" when the build carries another key).
CLI = os.environ.get("KORVANTH_CLI")
WINE_RUN = os.environ.get("KORVANTH_WINE_RUN")
LAUNCHER_KEY = os.environ.get("KORVANTH_TEST_SIGNING_KEY", "none")
PASS = "correct horse"
ENV = {"KP": PASS}


def tool(*args, env=ENV):
    """The tool as a script runs it: stdin is no terminal."""
    return subprocess.run([sys.executable, TOOL] + list(args), capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, env=dict(os.environ, **env))


class SecretFixture(ClientFixture):
    """k.pem encrypted; plain.pem, the same key in clear, is what openssl
    signs with (a key service's side); other.pem another key."""

    def setUp(self):
        super().setUp()
        os.remove(self.key)
        os.remove(self.pub)
        self.assertEqual(tool("keygen", "--encrypt", "--passphrase-env", "KP", self.key)
                         .returncode, 0)
        self.plain, self.other = (os.path.join(self.dir, n) for n in ("plain.pem", "other.pem"))
        subprocess.run(["openssl", "pkey", "-in", self.key, "-passin", "env:KP", "-out",
                        self.plain], check=True, env=dict(os.environ, **ENV))
        self.assertEqual(tool("keygen", self.other).returncode, 0)

    def release(self, version, *options, env=ENV):
        return tool("build", "--client", self.client, "--rules", self.rules, "--version",
                    str(version), "--out", self.mirror,
                    "--generated", "2026-01-%02dT00:00:00Z" % version, *options, env=env)


class Signing(SecretFixture):
    def test_every_way_to_sign_a_release(self):
        self.assertEqual(self.release(1, "--key", self.key, "--passphrase-env", "KP")
                         .returncode, 0)
        openssl = "openssl dgst -sha256 -sign " + self.plain
        by_command = ("--key", self.pub, "--sign-command")
        cases = [
            # why, options, environment, text of the refusal (None: published)
            ("no passphrase source", ("--key", self.key), ENV,
             "k.pem is encrypted: give --passphrase-env NAME or run in a terminal"),
            ("wrong passphrase", ("--key", self.key, "--passphrase-env", "KP"), {"KP": "no"},
             "k.pem: wrong passphrase"),
            ("variable not set", ("--key", self.key, "--passphrase-env", "UNSET_HERE"), {},
             "--passphrase-env UNSET_HERE: no such environment variable is set"),
            ("right passphrase", ("--key", self.key, "--passphrase-env", "KP"), ENV, None),
            ("key in clear", ("--key", self.plain, "--passphrase-env", "KP"), ENV, None),
            ("openssl's DER", by_command + (openssl,), ENV, None),
            ("DER in Base64 through a shell", by_command + (openssl + " | base64",
                                                            "--sign-shell"), ENV, None),
            ("a pipe without --sign-shell", by_command + (openssl + " | base64",), ENV,
             "failed (exit status 1); nothing was written"),
            ("another key", by_command + ("openssl dgst -sha256 -sign " + self.other,), ENV,
             "is no signature of these bytes by the key " + self.pub),
            ("other bytes signed", by_command + ("sh -c 'echo x | %s'" % openssl,), ENV,
             "is no signature"),
            ("nothing printed", by_command + ("true",), ENV, "printed no signature"),
            ("no such program", by_command + ("korvanth-no-signer",), ENV, "no such program"),
            ("hangs", by_command + ("sleep 60 | cat", "--sign-shell", "--sign-timeout", "1"),
             ENV, "gave no signature within 1 seconds"),
        ]
        for version, (why, options, env, text) in enumerate(cases, start=2):
            with self.subTest(why):
                before, started = self.manifest(), time.monotonic()
                r = self.release(version, *options, env=env)
                # A hung shell's children go with it and hold nothing open.
                self.assertLess(time.monotonic() - started, 30)
                if text is None:
                    self.assertEqual(r.returncode, 0, r.stderr)
                    self.assertEqual(self.verify().returncode, 0)
                else:
                    self.assertEqual(r.returncode, 1, r.stdout)
                    self.assertIn(text, r.stderr)
                    self.assertEqual(self.manifest(), before)
                    self.assertFalse(os.path.exists(os.path.join(self.mirror, "releases",
                                                                 str(version))))

    def test_every_form_of_a_printed_signature_is_read(self):
        der = ec.generate_private_key(ec.SECP256R1()).sign(b"m", ec.ECDSA(hashes.SHA256()))
        r, s = decode_dss_signature(der)
        raw = r.to_bytes(32, "big") + s.to_bytes(32, "big")
        for printed in (der, raw, base64.b64encode(der) + b"\n", base64.encodebytes(raw)):
            self.assertIn((r, s), signature_readings(printed))
        self.assertEqual(signature_readings(b"\0" * 64), [])

    def test_a_key_list_signed_by_an_encrypted_root_through_openssl(self):
        root, root_pub = (os.path.join(self.dir, n) for n in ("root.pem", "root.pub.pem"))
        self.assertEqual(tool("keys", "init", "--encrypt", "--passphrase-env", "KP", root)
                         .returncode, 0)
        # openssl decrypts the root itself: the tool never holds it.
        by_root = ("--root", root_pub, "--sign-command",
                   "openssl dgst -sha256 -sign %s -passin env:KP" % root)
        for key_id, pub in (("A", self.pub), ("B", os.path.join(self.dir, "other.pub.pem"))):
            r = tool("keys", "add", *by_root, "--out", self.mirror, "--id", key_id, pub)
            self.assertEqual(r.returncode, 0, r.stderr)
        # The release key at the command's end, found by its id in the list.
        r = self.release(1, "--key", "A", "--sign-command", "openssl dgst -sha256 -sign "
                         + self.plain)
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(os.path.join(self.mirror, "keys.json"), "rb") as f:
            before = f.read()
        # A list is signed before it is written: a wrong signer leaves it as it was.
        r = tool("keys", "revoke", "--root", root_pub, "--sign-command", "openssl dgst -sha256 "
                 "-sign " + self.plain, "--out", self.mirror, "B")
        self.assertIn("is no signature of these bytes by the key " + root_pub, r.stderr)
        with open(os.path.join(self.mirror, "keys.json"), "rb") as f:
            self.assertEqual(f.read(), before)
        self.assertEqual(tool("keys", "revoke", *by_root, "--out", self.mirror, "B")
                         .returncode, 0)
        r = run("keys", "show", "--root", root_pub, self.mirror)
        self.assertEqual(r.returncode, 0, r.stdout)
        for text in ("keys.sig: signed by", "revoked B", "manifest.sig: signed by release key A"):
            self.assertIn(text, r.stdout)

    def test_the_launcher_installs_releases_signed_either_way(self):
        if not (CLI and WINE_RUN and LAUNCHER_KEY != "none"):
            self.skipTest("needs the build's korvanth-cli, wine-run and the key it carries")
        encrypted = os.path.join(self.dir, "launcher-key.pem")
        subprocess.run(["openssl", "pkcs8", "-topk8", "-v2", "aes-256-cbc", "-in", LAUNCHER_KEY,
                        "-passout", "env:KP", "-out", encrypted], check=True,
                       env=dict(os.environ, **ENV))
        cases = [
            # why, signing options, what the launcher's pass says
            ("encrypted key", ("--key", encrypted, "--passphrase-env", "KP"),
             "All the files have been updated."),
            ("openssl as the sign command", ("--key", LAUNCHER_KEY[:-4] + ".pub.pem",
             "--sign-command", "openssl dgst -sha256 -sign " + LAUNCHER_KEY),
             "All the files have been updated."),
            # The control: the launcher's own signature check refuses.
            ("a key the launcher does not carry", ("--key", self.other), "Invalid version"),
        ]
        for i, (why, signing, said) in enumerate(cases):
            with self.subTest(why):
                self.mirror, player = (os.path.join(self.dir, n + str(i))
                                       for n in ("mirror", "player"))
                self.assertEqual(self.release(1, *signing).returncode, 0)
                os.makedirs(player)
                code, out = update(self.mirror, player)
                self.assertIn(said, out)
                installed = os.path.exists(os.path.join(player, "data", "sub dir",
                                                        "\u00e9t\u00e9.txt"))
                self.assertEqual((code == 2, installed), (i < 2, i < 2), out)  # 2: up to date


def update(mirror, player):
    """korvanth-cli's update pass from `mirror`, served on loopback."""
    quiet = type("Quiet", (http.server.SimpleHTTPRequestHandler,),
                 {"log_message": lambda *_: None})
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0),
                                             functools.partial(quiet, directory=mirror))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        url = "http://127.0.0.1:%d/" % server.server_address[1]
        r = subprocess.run([WINE_RUN, CLI, "--update", "--mirror-pair", url, url,
                            "Z:" + player.replace("/", "\\")], stdin=subprocess.DEVNULL,
                           capture_output=True, text=True, timeout=300)
    finally:
        server.shutdown()
        server.server_close()
    return r.returncode, r.stdout + r.stderr


if __name__ == "__main__":
    unittest.main()
