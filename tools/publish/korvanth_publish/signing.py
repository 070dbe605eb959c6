"""Where signatures come from: a private key file, encrypted or not, or an
external command (the client of a hardware module or a cloud key service)
that is handed the bytes and prints their signature.

A passphrase never comes from the command line, where other users of the
machine and the shell's history see it: it comes from an environment
variable the user names (--passphrase-env NAME) or from a prompt, and the
prompt only when stdin is a terminal, so that a script or a CI job without
a passphrase fails at once instead of waiting for one.

The sign command's contract (docs/publishing.md): it runs without a shell
(split as a POSIX shell would; --sign-shell runs it with /bin/sh -c), gets
the exact bytes to sign on stdin, signs them with ECDSA P-256 over SHA-256,
and prints the signature on stdout, as DER, as the 64 bytes r||s, or as
Base64 of either; exit status 0. Its stderr is the user's. What it prints
is checked against the public key the user named before anything is
written: a wrong key or a broken signer must never publish a manifest that
every launcher refuses."""

import base64
import binascii
import getpass
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
from typing import NamedTuple

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import (decode_dss_signature,
                                                            encode_dss_signature)

from .common import Failure, read_bytes
from .curve import N as P256_ORDER

DEFAULT_TIMEOUT = 120  # seconds; a hardware module may wait for a touch or a PIN


class Signer(NamedTuple):
    """Signs for one public key: with `private` in memory, or by running
    `command` (an argument list). `where` names the key in messages."""
    public: ec.EllipticCurvePublicKey
    where: str
    private: object = None
    command: tuple = ()
    timeout: float = DEFAULT_TIMEOUT

    def public_key(self):
        """As a private key answers, so that the checks of which key may
        sign take either."""
        return self.public


def add_options(p, key_option):
    """The options that say how the key of `key_option` signs."""
    p.add_argument("--passphrase-env", metavar="NAME",
                   help="read the passphrase of an encrypted %s from the environment "
                        "variable NAME (without it, the tool asks when stdin is a terminal)"
                        % key_option)
    p.add_argument("--sign-command", metavar="CMD",
                   help="sign by running CMD instead of reading a private key: it gets the "
                        "bytes on stdin and prints their ECDSA P-256/SHA-256 signature (DER, "
                        "r||s, or Base64 of either); %s then names the public key" % key_option)
    p.add_argument("--sign-shell", action="store_true",
                   help="run --sign-command with /bin/sh -c (pipes, redirections); "
                        "by default it is split into words and run without a shell")
    p.add_argument("--sign-timeout", type=float, default=DEFAULT_TIMEOUT, metavar="SECONDS",
                   help="give up on --sign-command after SECONDS (default %d)" % DEFAULT_TIMEOUT)


def passphrase_from(env_name, where, confirm=False):
    """The passphrase (bytes) from the variable `env_name`, else from a
    prompt when stdin is a terminal, else None."""
    if env_name:
        value = os.environ.get(env_name)
        if value is None:
            raise Failure("--passphrase-env %s: no such environment variable is set" % env_name)
        if not value:
            raise Failure("--passphrase-env %s: the variable is empty" % env_name)
        return value.encode("utf-8")
    if not sys.stdin.isatty():
        return None
    value = getpass.getpass("Passphrase for %s: " % where)
    if not value:
        raise Failure("%s: an empty passphrase" % where)
    if confirm and getpass.getpass("The same passphrase again: ") != value:
        raise Failure("%s: the two passphrases differ" % where)
    return value.encode("utf-8")


def read_private_key(path, passphrase_env=None):
    """The P-256 private key of a PEM file, decrypted with the passphrase
    when the file is encrypted."""
    data = read_bytes(path)
    try:
        key = serialization.load_pem_private_key(data, password=None)
        if passphrase_env:
            print("korvanth-publish: warning: %s is not encrypted; the passphrase in %s is "
                  "not used" % (path, passphrase_env), file=sys.stderr)
    except TypeError:  # encrypted
        secret = passphrase_from(passphrase_env, path)
        if secret is None:
            raise Failure("%s is encrypted: give --passphrase-env NAME or run in a terminal"
                          % path)
        try:
            key = serialization.load_pem_private_key(data, password=secret)
        except (ValueError, TypeError):
            raise Failure("%s: wrong passphrase" % path)
    except ValueError as e:
        raise Failure("%s: not a PEM private key: %s" % (path, e))
    if not isinstance(key, ec.EllipticCurvePrivateKey) or key.curve.name != "secp256r1":
        raise Failure("%s: not a P-256 key" % path)
    return key


def load_signer(args, key_path, public_of=None):
    """The Signer the options give for the key at `key_path`. With
    --sign-command, `key_path` names the public key; `public_of(name)` may
    find it another way (a key list's id) and returns None when it cannot."""
    if not args.sign_command:
        if args.sign_shell:
            raise Failure("--sign-shell: give --sign-command too")
        return private_signer(key_path, args.passphrase_env)
    if args.passphrase_env:
        raise Failure("--passphrase-env: the sign command reads no key file; give it its "
                      "secrets itself")
    if args.sign_timeout <= 0:
        raise Failure("--sign-timeout: a number of seconds above 0")
    from .keys import load_public_point, public_key_of  # keys signs through this module
    if public_of and not os.path.exists(key_path):
        point = public_of(key_path)
        if point is None:
            raise Failure("%s: no such file, nor the id of a release key in the tree's "
                          "keys.json" % key_path)
    else:
        point = load_public_point(key_path)
    if args.sign_shell:
        command = ("/bin/sh", "-c", args.sign_command)
    else:
        try:
            command = tuple(shlex.split(args.sign_command))
        except ValueError as e:
            raise Failure("--sign-command: %s" % e)
        if not command:
            raise Failure("--sign-command: empty")
        # Found now, not after a long build has packed every file.
        if shutil.which(command[0]) is None:
            raise Failure("--sign-command: %s: no such program%s"
                          % (command[0], "" if os.sep in command[0] else " on PATH"))
    return Signer(public_key_of(point), key_path, command=command, timeout=args.sign_timeout)


def private_signer(key_path, passphrase_env=None):
    key = read_private_key(key_path, passphrase_env)
    return Signer(key.public_key(), key_path, private=key)


def sign(signer, data):
    """The signature file's text: Base64 of r||s and a line end, as the
    launcher reads it. A command's signature is checked first."""
    if signer.private is not None:
        r, s = decode_dss_signature(signer.private.sign(data, ec.ECDSA(hashes.SHA256())))
    else:
        r, s = command_signature(signer, data)
    return base64.b64encode(r.to_bytes(32, "big") + s.to_bytes(32, "big")) + b"\n"


def command_signature(signer, data):
    """(r, s) of the sign command's signature on `data`, verified."""
    shown = shlex.join(signer.command)
    try:
        # A session of its own: on a timeout the whole group goes, a
        # shell's children too, and nothing keeps stdout open behind it.
        proc = subprocess.Popen(signer.command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                start_new_session=True)
    except OSError as e:
        raise Failure("--sign-command: cannot run %s: %s; nothing was written"
                      % (signer.command[0], e.strerror))
    try:
        out, _ = proc.communicate(data, timeout=signer.timeout)
    except subprocess.TimeoutExpired:
        kill_group(proc)
        raise Failure("--sign-command: %s gave no signature within %g seconds "
                      "(--sign-timeout); nothing was written" % (shown, signer.timeout))
    except BaseException:
        kill_group(proc)
        raise
    if proc.returncode != 0:
        raise Failure("--sign-command: %s failed (%s); nothing was written"
                      % (shown, "exit status %d" % proc.returncode if proc.returncode > 0
                         else "killed by signal %d" % -proc.returncode))
    if not out.strip():
        raise Failure("--sign-command: %s printed no signature" % shown)
    for r, s in signature_readings(out):
        try:
            signer.public.verify(encode_dss_signature(r, s), data, ec.ECDSA(hashes.SHA256()))
            return r, s
        except InvalidSignature:
            pass
    raise Failure("--sign-command: what %s printed (%d bytes) is no signature of these bytes "
                  "by the key %s; check that the command signs with that key, with SHA-256, "
                  "the whole of stdin; nothing was written" % (shown, len(out), signer.where))


def kill_group(proc):
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except OSError:
        pass
    proc.communicate()


def signature_readings(out):
    """Every (r, s) that `out` can be read as: DER or 64 bytes r||s, raw or
    in Base64 (PEM-style line breaks allowed). Which reading is meant shows
    only when one verifies."""
    blobs = [out]
    text = re.sub(rb"\s", b"", out)
    if text and re.fullmatch(rb"[A-Za-z0-9+/]+={0,2}", text):
        try:
            blobs.append(base64.b64decode(text, validate=True))
        except binascii.Error:
            pass
    found = []
    for blob in blobs:
        if len(blob) == 64:
            found.append((int.from_bytes(blob[:32], "big"), int.from_bytes(blob[32:], "big")))
        try:
            found.append(decode_dss_signature(blob))
        except ValueError:
            pass
    return [(r, s) for r, s in found if 0 < r < P256_ORDER and 0 < s < P256_ORDER]
