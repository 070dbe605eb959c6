"""Upload destinations started on loopback for the tests, each backed by a
folder on this machine, reached through rclone remotes defined in the
environment (never on the command line): Debian's OpenSSH server speaking
SFTP, nginx with its WebDAV modules, and a plain local folder. Each can say
in which order files were written to it, from its own log."""

import getpass
import os
import re
import socket
import subprocess
import time

NGINX = "/usr/sbin/nginx"
SSHD = "/usr/sbin/sshd"
SFTP_SERVER = "/usr/lib/openssh/sftp-server"
DAV_EXT = "/usr/lib/nginx/modules/ngx_http_dav_ext_module.so"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, proc, log):
    for _ in range(100):
        if proc is not None and proc.poll() is not None:
            break
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return
        time.sleep(0.1)
    with open(log, errors="replace") as f:
        raise RuntimeError("server on port %d did not start:\n%s" % (port, f.read()[-2000:]))


def lines(path):
    with open(path, "rb") as f:
        return sum(1 for _ in f)


class LocalFolder:
    """A folder given to rclone as a plain path. Its log is the files' change
    times: rclone keeps the source's modification time, not its own."""
    name = "local"

    def __init__(self, tmp):
        self.root = os.path.join(tmp, "local-dest")
        self.dest = self.root
        self.env = {}

    def start(self):
        pass

    def stop(self):
        pass

    def mark(self):
        time.sleep(0.05)  # change times come from a coarser clock
        return time.time()

    def writes(self, since=0):
        """(started, finished, path) of every file written after the mark
        `since`, by change time."""
        out = []
        for folder, _, names in os.walk(self.root):
            for n in names:
                path = os.path.join(folder, n)
                t = os.stat(path).st_ctime_ns / 1e9
                if t >= since:
                    out.append((t, t, os.path.relpath(path, self.root)))
        return sorted(out)


class SftpServer:
    """sshd on a loopback port with a host key and a client key of its own,
    the caller's account only, logging every SFTP open and close."""
    name = "sftp"

    def __init__(self, tmp):
        self.dir = os.path.join(tmp, "sshd")
        self.root = os.path.join(tmp, "sftp-dest")
        self.port = free_port()
        self.log = os.path.join(self.dir, "sftp.log")
        self.proc = None
        self.dest = "ksftp:" + self.root
        key = os.path.join(self.dir, "client_key")
        self.env = {"RCLONE_CONFIG_KSFTP_TYPE": "sftp",
                    "RCLONE_CONFIG_KSFTP_HOST": "127.0.0.1",
                    "RCLONE_CONFIG_KSFTP_PORT": str(self.port),
                    "RCLONE_CONFIG_KSFTP_USER": getpass.getuser(),
                    "RCLONE_CONFIG_KSFTP_KEY_FILE": key,
                    "RCLONE_CONFIG_KSFTP_KNOWN_HOSTS_FILE": os.path.join(self.dir, "known_hosts"),
                    "RCLONE_CONFIG_KSFTP_SHELL_TYPE": "none"}

    def start(self):
        os.makedirs(self.dir)
        for name in ("host_key", "client_key"):
            subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f",
                            os.path.join(self.dir, name)], check=True)
        with open(os.path.join(self.dir, "client_key.pub")) as f:
            client = f.read()
        with open(os.path.join(self.dir, "authorized_keys"), "w") as f:
            f.write(client)
        with open(os.path.join(self.dir, "host_key.pub")) as f:
            host = f.read().split()
        with open(os.path.join(self.dir, "known_hosts"), "w") as f:
            f.write("[127.0.0.1]:%d %s %s\n" % (self.port, host[0], host[1]))
        # The SFTP server's own log, on its standard error, into one file
        # that every session appends to.
        wrapper = os.path.join(self.dir, "sftp-server")
        with open(wrapper, "w") as f:
            f.write("#!/bin/sh\nexec %s -e -l INFO 2>>%s\n" % (SFTP_SERVER, self.log))
        os.chmod(wrapper, 0o755)
        config = os.path.join(self.dir, "sshd_config")
        with open(config, "w") as f:
            f.write("\n".join([
                "Port %d" % self.port, "ListenAddress 127.0.0.1",
                "HostKey " + os.path.join(self.dir, "host_key"),
                "PidFile " + os.path.join(self.dir, "sshd.pid"),
                "AuthorizedKeysFile " + os.path.join(self.dir, "authorized_keys"),
                "AllowUsers " + getpass.getuser(), "PermitRootLogin prohibit-password",
                "StrictModes no", "UsePAM no", "PasswordAuthentication no",
                "KbdInteractiveAuthentication no", "LogLevel INFO",
                "Subsystem sftp " + wrapper, ""]))
        if os.getuid() == 0:
            # sshd started by root wants its privilege separation folder.
            os.makedirs("/run/sshd", mode=0o755, exist_ok=True)
        self.logf = open(os.path.join(self.dir, "sshd.log"), "wb")
        self.proc = subprocess.Popen([SSHD, "-D", "-e", "-f", config], stdin=subprocess.DEVNULL,
                                     stdout=self.logf, stderr=subprocess.STDOUT)
        wait_for_port(self.port, self.proc, os.path.join(self.dir, "sshd.log"))

    def stop(self):
        if self.proc is not None:
            self.proc.terminate()
            self.proc.wait(10)
            self.logf.close()

    def mark(self):
        return lines(self.log)

    def writes(self, since=0):
        """(opened, closed, path) of every file written after the mark
        `since`, in the order of the log's lines (which have no times)."""
        opened, out = {}, []
        with open(self.log, errors="replace") as f:
            for i, line in enumerate(f):
                if i < since:
                    continue
                m = re.search(r'\b(open|close) "([^"]+)"(.*)', line)
                if not m or not m.group(2).startswith(self.root + "/"):
                    continue
                rel = os.path.relpath(m.group(2), self.root)
                if m.group(1) == "open" and "WRITE" in m.group(3):
                    opened[rel] = i
                elif m.group(1) == "close" and rel in opened:
                    out.append((opened.pop(rel), i, rel))
        return sorted(out)


class DavServer:
    """nginx with its DAV module (PUT, MKCOL, DELETE, MOVE) and the dav-ext
    module (PROPFIND, the listings rclone reads), logging when each request
    started and ended and the Cache-Control header it carried."""
    name = "webdav"

    def __init__(self, tmp, certs=None):
        self.dir = os.path.join(tmp, "nginx")
        self.root = os.path.join(tmp, "dav-dest")
        self.port = free_port()
        # With a folder of scripts/mirror's certificates, the folder is also
        # served to players over HTTPS, as a mirror.
        self.certs = certs
        self.https_port = free_port() if certs else None
        self.log = os.path.join(self.dir, "access.log")
        self.dest = "kdav:"
        self.env = {"RCLONE_CONFIG_KDAV_TYPE": "webdav",
                    "RCLONE_CONFIG_KDAV_URL": "http://127.0.0.1:%d/" % self.port,
                    "RCLONE_CONFIG_KDAV_VENDOR": "other"}

    def start(self):
        os.makedirs(os.path.join(self.dir, "tmp"))
        os.makedirs(self.root)
        user = "user %s;" % getpass.getuser() if os.getuid() == 0 else ""
        conf = os.path.join(self.dir, "nginx.conf")
        with open(conf, "w") as f:
            f.write("""load_module %(ext)s;
%(user)s
worker_processes 1;
pid %(dir)s/nginx.pid;
error_log %(dir)s/error.log warn;
events { worker_connections 64; }
http {
    log_format timed '$msec $request_time $status "$request_method $uri" "$http_cache_control"';
    access_log %(dir)s/access.log timed;
    client_body_temp_path %(dir)s/tmp;
    server {
        listen 127.0.0.1:%(port)d;
        %(tls)s
        root %(root)s;
        client_max_body_size 0;
        location / {
            dav_methods PUT DELETE MKCOL COPY MOVE;
            dav_ext_methods PROPFIND OPTIONS;
            create_full_put_path on;
            dav_access user:rw group:r all:r;
            autoindex on;
        }
    }
}
""" % {"ext": DAV_EXT, "user": user, "dir": self.dir, "port": self.port, "root": self.root,
       "tls": "" if not self.certs else
              "listen 127.0.0.1:%d ssl; ssl_certificate %s; ssl_certificate_key %s;" % (
                  self.https_port, os.path.join(self.certs, "server.pem"),
                  os.path.join(self.certs, "server.key"))})
        subprocess.run([NGINX, "-p", self.dir, "-c", conf, "-e", os.path.join(self.dir, "error.log")],
                       check=True, stdin=subprocess.DEVNULL, capture_output=True)
        wait_for_port(self.port, None, os.path.join(self.dir, "error.log"))

    def stop(self):
        pid_file = os.path.join(self.dir, "nginx.pid")
        if os.path.exists(pid_file):
            subprocess.run([NGINX, "-p", self.dir, "-c", os.path.join(self.dir, "nginx.conf"),
                            "-e", os.path.join(self.dir, "error.log"), "-s", "stop"],
                           capture_output=True)
            for _ in range(50):
                if not os.path.exists(pid_file):
                    break
                time.sleep(0.1)

    def mark(self):
        return lines(self.log)

    def requests(self, since=0):
        """(started, finished, status, method, path, cache-control) of every
        request after the mark `since`, as nginx logged them."""
        out = []
        with open(self.log, errors="replace") as f:
            for line in list(f)[since:]:
                m = re.match(r'(\S+) (\S+) (\d+) "(\S+) /([^"]*)" "([^"]*)"', line)
                if m:
                    end = float(m.group(1))
                    out.append((end - float(m.group(2)), end, int(m.group(3)), m.group(4),
                                m.group(5), m.group(6)))
        return out

    def writes(self, since=0):
        return sorted((start, end, path) for start, end, status, method, path, _
                      in self.requests(since) if method == "PUT" and status in (201, 204))


KINDS = (LocalFolder, SftpServer, DavServer)
