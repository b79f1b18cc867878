#!/usr/bin/python3
"""Transfer benchmark: vekftp, curl and lftp side by side against vsftpd on
127.0.0.1. One run reports, per client: download and upload of a 1 GiB file
in passive and active mode (MiB/s, CPU seconds per GiB, peak memory) and 500
files of 1 KiB fetched in one session (files per second), each the median of
several alternating runs, and the ratios ours/curl and ours/lftp. Then FTP
over TLS (TLS 1.3, explicit, encrypted data, every data connection resuming
the control connection's session) against a second vsftpd that demands it:
1000 files of 4 KiB in one session, and a 200 MiB file both ways, vekftp
beside lftp.

Needs root (vsftpd), vsftpd, curl and lftp. Stops vsftpd by its PID, bounds
every run in time. Not a test: it measures, it asserts only that each
transfer delivered the right number of bytes."""

import os
import pwd
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
GIB = 1 << 30
BIG_SIZE = int(os.environ.get("VEK_BENCH_BIG_MIB", "1024")) << 20
RUNS = int(os.environ.get("VEK_BENCH_RUNS", "3"))
SMALL_FILES = 500
RUN_LIMIT_S = 180
# VEK_BENCH_OPS="put" (or "get mget" ...): only these operations.
ONLY = os.environ.get("VEK_BENCH_OPS", "").split()


def find_vekftp():
    for candidate in (os.environ.get("VEKFTP"), os.path.join(HERE, "..", "..", "tools", "vekftp", "vekftp")):
        if candidate and os.access(candidate, os.X_OK):
            return os.path.abspath(candidate)
    sys.exit("bench_transfer: vekftp not found (build it first)")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, timeout_s):
    end = time.monotonic() + timeout_s
    while time.monotonic() < end:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return True
        except OSError:
            time.sleep(0.05)
    return False


class Vsftpd:
    def __init__(self, work, tls=False):
        self.work = work
        self.tls = tls
        self.root = os.path.join(work, "root")
        self.up = os.path.join(self.root, "up")
        self.port = free_port()
        self.proc = None

    def start(self):
        empty = os.path.join(self.work, "empty")
        os.makedirs(self.up, exist_ok=True)
        os.makedirs(empty, exist_ok=True)
        for path, mode in ((self.work, 0o755), (self.root, 0o755), (empty, 0o755), (self.up, 0o777)):
            os.chmod(path, mode)
        pasv = free_port()
        conf = os.path.join(self.work, "vsftpd.conf")
        with open(conf, "w") as f:
            f.write(
                "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=%d\n"
                "background=NO\nanonymous_enable=YES\nlocal_enable=NO\nno_anon_password=YES\n"
                "write_enable=YES\nanon_upload_enable=YES\nanon_mkdir_write_enable=YES\n"
                "anon_other_write_enable=YES\nanon_umask=022\nanon_root=%s\nftp_username=ftp\n"
                "pasv_enable=YES\npasv_min_port=%d\npasv_max_port=%d\nport_enable=YES\n"
                "connect_from_port_20=NO\nsecure_chroot_dir=%s\nseccomp_sandbox=NO\nisolate=NO\n"
                "isolate_network=NO\nxferlog_enable=NO\nmax_per_ip=0\nmax_clients=0\n"
                "idle_session_timeout=300\ndata_connection_timeout=120\n"
                % (self.port, self.root, pasv, min(pasv + 100, 65535), empty))
            if self.tls:
                cert, key = os.path.join(self.work, "cert.pem"), os.path.join(self.work, "key.pem")
                subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                                "-nodes", "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1",
                                "-addext", "subjectAltName=IP:127.0.0.1"], check=True, capture_output=True)
                f.write("ssl_enable=YES\nallow_anon_ssl=YES\nforce_anon_logins_ssl=YES\nforce_anon_data_ssl=YES\n"
                        "require_ssl_reuse=YES\nssl_ciphers=HIGH\nrsa_cert_file=%s\nrsa_private_key_file=%s\n"
                        % (cert, key))
        self.log = open(os.path.join(self.work, "vsftpd.log"), "w")
        self.proc = subprocess.Popen(["/usr/sbin/vsftpd", conf], stdout=self.log, stderr=subprocess.STDOUT)
        if not wait_port(self.port, 5):
            self.stop()
            sys.exit("bench_transfer: vsftpd did not start")

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None

    def url(self, path=""):
        return "ftp://127.0.0.1:%d/%s" % (self.port, path)


def make_big_file(path, size):
    # A random 64 MiB block written again and again: incompressible, quick.
    block = os.urandom(min(64 << 20, size))
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(len(block), left)
            f.write(block[:n])
            left -= n
    os.chmod(path, 0o644)


def run_measured(argv, cwd):
    """Runs argv; returns (wall s, cpu s, peak RSS KiB) of the child.

    The peak memory comes from GNU time: a child forked from this (large)
    Python process would report the parent's pages as its own peak."""
    rss_file = os.path.join(cwd, ".rss")
    argv = ["/usr/bin/time", "-f", "%M", "-o", rss_file] + argv
    start = time.monotonic()
    proc = subprocess.Popen(argv, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)
    deadline = start + RUN_LIMIT_S
    while True:
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid != 0:
            break
        if time.monotonic() > deadline:
            proc.kill()
            pid, status, usage = os.wait4(proc.pid, 0)
            raise RuntimeError("%s: killed after %d s" % (argv[0], RUN_LIMIT_S))
        time.sleep(0.005)
    wall = time.monotonic() - start
    err = proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (" ".join(argv[5:9]), proc.returncode, err.strip()[:400]))
    with open(rss_file) as f:
        rss = int(f.read().split()[-1])
    os.unlink(rss_file)
    return wall, usage.ru_utime + usage.ru_stime, rss


def lftp_script(server, passive, commands):
    return ["lftp", "-c",
            "set ftp:passive-mode %s; set net:max-retries 1; set net:timeout 30; set xfer:clobber on; "
            "set cmd:interactive off; open -p %d 127.0.0.1; %s"
            % ("on" if passive else "off", server.port, commands)]


def commands(client, op, passive, server, vekftp, names):
    url = server.url
    if client == "vekftp":
        mode = ["--passive"] if passive else ["--active"]
        if op == "get":
            return [vekftp, "--timeout", "60"] + mode + ["get", url("big.bin"), "got.bin"]
        if op == "put":
            return [vekftp, "--timeout", "60"] + mode + ["put", "src.bin", url("up/put.bin")]
        return [vekftp, "--timeout", "60"] + mode + ["mget", url("many/")] + names
    if client == "curl":
        mode = [] if passive else ["-P", "-"]
        if op == "get":
            return ["curl", "-sS", "--fail"] + mode + ["-o", "got.bin", url("big.bin")]
        if op == "put":
            return ["curl", "-sS", "--fail"] + mode + ["-T", "src.bin", url("up/put.bin")]
        return ["curl", "-sS", "--fail"] + mode + ["--remote-name-all"] + [url("many/" + n) for n in names]
    if op == "get":
        return lftp_script(server, passive, "get big.bin -o got.bin")
    if op == "put":
        return lftp_script(server, passive, "put src.bin -o up/put.bin")
    return lftp_script(server, passive, "cd many; mget " + " ".join(names))


def check(client, op, server, local, names):
    if op == "get":
        got = os.path.getsize(os.path.join(local, "got.bin"))
        os.unlink(os.path.join(local, "got.bin"))
    elif op == "put":
        target = os.path.join(server.up, "put.bin")
        got = os.path.getsize(target)
        os.unlink(target)
    else:
        got = 0
        for n in names:
            p = os.path.join(local, n)
            got += os.path.getsize(p)
            os.unlink(p)
        if got != SMALL_FILES * 1024:
            raise RuntimeError("%s mget delivered %d bytes" % (client, got))
        return
    if got != BIG_SIZE:
        raise RuntimeError("%s %s delivered %d of %d bytes" % (client, op, got, BIG_SIZE))


def main():
    if os.geteuid() != 0:
        sys.exit("bench_transfer: needs root to start vsftpd")
    for tool in ("/usr/sbin/vsftpd", shutil.which("curl"), shutil.which("lftp"), "/usr/bin/time"):
        if not tool or not os.access(tool, os.X_OK):
            sys.exit("bench_transfer: vsftpd, curl, lftp and GNU time are needed")
    pwd.getpwnam("ftp")
    vekftp = find_vekftp()
    clients = ["vekftp", "curl", "lftp"]

    work = tempfile.mkdtemp(prefix="vekbench")
    server = Vsftpd(work)
    try:
        local = os.path.join(work, "local")
        os.makedirs(local)
        os.makedirs(os.path.join(server.root, "many"))
        print("preparing %d MiB file and %d small files in %s" % (BIG_SIZE >> 20, SMALL_FILES, work), flush=True)
        make_big_file(os.path.join(server.root, "big.bin"), BIG_SIZE)
        os.link(os.path.join(server.root, "big.bin"), os.path.join(local, "src.bin"))
        names = []
        for i in range(SMALL_FILES):
            name = "f%03d.txt" % i
            names.append(name)
            with open(os.path.join(server.root, "many", name), "wb") as f:
                f.write(os.urandom(1024))
            os.chmod(os.path.join(server.root, "many", name), 0o644)
        server.start()

        cases = [(op, passive) for op in ("get", "put") for passive in (True, False)] + [("mget", True)]
        if ONLY:
            cases = [c for c in cases if c[0] in ONLY]
        results = {}
        t0 = time.monotonic()
        for op, passive in cases:
            for r in range(RUNS):
                # Alternate the order so that no client always runs on a warm or cold cache.
                order = clients[r % 3:] + clients[:r % 3]
                for client in order:
                    argv = commands(client, op, passive, server, vekftp, names)
                    wall, cpu, rss = run_measured(argv, local)
                    check(client, op, server, local, names)
                    results.setdefault((op, passive, client), []).append((wall, cpu, rss))
            print("  %s %s done (%.0f s so far)" % (op, "passive" if passive else "active", time.monotonic() - t0),
                  flush=True)

        print()
        print("median of %d runs; 1 GiB file = %d MiB; vsftpd on 127.0.0.1" % (RUNS, BIG_SIZE >> 20))
        print("%-14s %-8s %10s %12s %10s" % ("case", "client", "MiB/s", "CPU s/GiB", "peak MiB"))
        summary = {}
        for op, passive in cases:
            label = "%s %s" % (op, "pasv" if passive else "port") if op != "mget" else "mget 500x1KiB"
            for client in clients:
                runs = results[(op, passive, client)]
                wall = statistics.median(r[0] for r in runs)
                cpu = statistics.median(r[1] for r in runs)
                rss = max(r[2] for r in runs) / 1024.0
                if op == "mget":
                    rate = SMALL_FILES / wall
                    print("%-14s %-8s %10.1f %12s %10.1f   (files/s)" % (label, client, rate, "-", rss))
                    summary[(label, client)] = (rate, None)
                else:
                    rate = BIG_SIZE / wall / (1 << 20)
                    cpu_per_gib = cpu * GIB / BIG_SIZE
                    print("%-14s %-8s %10.1f %12.2f %10.1f" % (label, client, rate, cpu_per_gib, rss))
                    summary[(label, client)] = (rate, cpu_per_gib)
        print()
        print("%-14s %18s %18s %18s %18s" % ("case", "speed ours/curl", "speed ours/lftp", "CPU ours/curl",
                                             "CPU ours/lftp"))
        for label in dict.fromkeys(k[0] for k in summary):
            ours, cu, lf = summary[(label, "vekftp")], summary[(label, "curl")], summary[(label, "lftp")]
            cpu_c = "%.2f" % (ours[1] / cu[1]) if ours[1] and cu[1] else "-"
            cpu_l = "%.2f" % (ours[1] / lf[1]) if ours[1] and lf[1] else "-"
            print("%-14s %18.2f %18.2f %18s %18s" % (label, ours[0] / cu[0], ours[0] / lf[0], cpu_c, cpu_l))
        print("total %.0f s" % (time.monotonic() - t0))
        if not ONLY or "ftps" in ONLY:
            bench_ftps(vekftp, work)
    finally:
        server.stop()
        shutil.rmtree(work, ignore_errors=True)


FTPS_FILES = 1000
FTPS_BIG = 200 << 20


def bench_ftps(vekftp, parent):
    """FTP over TLS: vekftp and lftp, each the median of RUNS alternating runs."""
    work = os.path.join(parent, "ftps")
    os.makedirs(work)
    server = Vsftpd(work, tls=True)
    local = os.path.join(work, "local")
    os.makedirs(local)
    many = os.path.join(server.root, "many")
    os.makedirs(many)
    names = []
    for i in range(FTPS_FILES):
        names.append("t%04d.bin" % i)
        with open(os.path.join(many, names[-1]), "wb") as f:
            f.write(os.urandom(4096))
        os.chmod(os.path.join(many, names[-1]), 0o644)
    make_big_file(os.path.join(server.root, "big.bin"), FTPS_BIG)
    os.link(os.path.join(server.root, "big.bin"), os.path.join(local, "src.bin"))
    server.start()
    lftp_tls = ("set ssl:verify-certificate no; set ftp:ssl-allow-anonymous true; set ftp:ssl-force true; "
                "set ftp:ssl-protect-data true; set net:max-retries 1; set xfer:clobber on; "
                "open -p %d 127.0.0.1; " % server.port)
    ours = [vekftp, "--tls", "--insecure", "--timeout", "60"]
    cases = {
        "mget %dx4KiB" % FTPS_FILES: {"vekftp": ours + ["mget", server.url("many/")] + names,
                                      "lftp": ["lftp", "-c", lftp_tls + "cd many; mget *"]},
        "get 200MiB": {"vekftp": ours + ["get", server.url("big.bin"), "got.bin"],
                       "lftp": ["lftp", "-c", lftp_tls + "get big.bin -o got.bin"]},
        "put 200MiB": {"vekftp": ours + ["put", "src.bin", server.url("up/put.bin")],
                       "lftp": ["lftp", "-c", lftp_tls + "put src.bin -o up/put.bin"]},
    }
    try:
        print()
        print("FTP over TLS (TLS 1.3, sessions resumed), median of %d runs" % RUNS)
        print("%-16s %-8s %10s %12s %10s" % ("case", "client", "seconds", "CPU s", "peak MiB"))
        for label, argvs in cases.items():
            runs = {}
            for r in range(RUNS):
                for client in (["vekftp", "lftp"] if r % 2 == 0 else ["lftp", "vekftp"]):
                    runs.setdefault(client, []).append(run_measured(argvs[client], local))
                    for leftover in names + ["got.bin"]:
                        if os.path.exists(os.path.join(local, leftover)):
                            os.unlink(os.path.join(local, leftover))
                    if os.path.exists(os.path.join(server.up, "put.bin")):
                        os.unlink(os.path.join(server.up, "put.bin"))
            walls = {}
            for client in ("vekftp", "lftp"):
                walls[client] = statistics.median(x[0] for x in runs[client])
                print("%-16s %-8s %10.2f %12.2f %10.1f" % (label, client, walls[client],
                                                          statistics.median(x[1] for x in runs[client]),
                                                          max(x[2] for x in runs[client]) / 1024.0))
            print("%-16s speed ours/lftp %.2f" % (label, walls["lftp"] / walls["vekftp"]))
    finally:
        server.stop()


if __name__ == "__main__":
    main()
