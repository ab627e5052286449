#!/usr/bin/env python3
"""Times KORU against the download tools users would pick instead, on a local vsftpd.

Workloads:
  a  one 1 GiB file (plus the socket file-to-file limit measured with socat)
  b  a tree of 20 directories x 100 files of 4 KiB, mirrored into an empty directory
  c  the same tree again into the complete copy (nothing to do)
  d  one directory of 1,000 files of 1 KiB
  e  the 1 GiB file over explicit FTP over TLS (ftpes://) from a vsftpd that demands TLS and
     session reuse, against curl --ssl-reqd and lftp (the certificate of a CA made here with
     openssl, trusted through SSL_CERT_FILE, --cacert and ssl:ca-file)

Every tool runs in alternating rounds (one warm-up round, then --rounds counted ones); every run
is checked (content of the big file, file count and bytes of the trees). The table gives the
median wall and CPU seconds, their min-max, throughput, peak memory, and KORU's time over the best
peer's, taken round by round.
"""
import argparse
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

BIG_SIZE = 1 << 30


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, seconds=10):
    deadline = time.time() + seconds
    while time.time() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return True
        except OSError:
            time.sleep(0.05)
    return False


def make_data(root):
    big = os.path.join(root, "big")
    os.makedirs(big)
    with open(os.path.join(big, "big.bin"), "wb") as f:
        block = os.urandom(1 << 20)
        for i in range(BIG_SIZE >> 20):
            # Every MiB differs, so a misplaced block cannot go unnoticed.
            f.write(i.to_bytes(8, "little") + block[8:])
    for d in range(20):
        sub = os.path.join(root, "tree", "dir%02d" % d)
        os.makedirs(sub)
        for n in range(100):
            with open(os.path.join(sub, "file%03d.dat" % n), "wb") as f:
                f.write(os.urandom(4096))
    flat = os.path.join(root, "flat")
    os.makedirs(flat)
    for n in range(1000):
        with open(os.path.join(flat, "f%04d.txt" % n), "wb") as f:
            f.write(os.urandom(1024))


def make_certificates(work):
    """A CA and a certificate for 127.0.0.1 signed by it; returns (ca, certificate, key)."""
    ca, ca_key = os.path.join(work, "ca.pem"), os.path.join(work, "ca.key")
    cert, key = os.path.join(work, "server.pem"), os.path.join(work, "server.key")
    csr, ext = os.path.join(work, "server.csr"), os.path.join(work, "server.ext")
    with open(ext, "w") as f:
        f.write("subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n")
    quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.check_call(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days",
                           "2", "-subj", "/CN=bench CA", "-addext",
                           "basicConstraints=critical,CA:TRUE", "-keyout", ca_key, "-out", ca],
                          **quiet)
    subprocess.check_call(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj",
                           "/CN=127.0.0.1", "-keyout", key, "-out", csr], **quiet)
    subprocess.check_call(["openssl", "x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key,
                           "-CAcreateserial", "-days", "2", "-extfile", ext, "-out", cert],
                          **quiet)
    return ca, cert, key


def start_vsftpd(root, work, port, tls=None):
    conf = os.path.join(work, "vsftpd-%d.conf" % port)
    empty = os.path.join(work, "empty")
    os.makedirs(empty, exist_ok=True)
    with open(conf, "w") as f:
        f.write("\n".join([
            "listen=YES", "listen_ipv6=NO", "background=NO",
            "listen_address=127.0.0.1", "listen_port=%d" % port,
            "anonymous_enable=YES", "local_enable=NO", "write_enable=NO",
            "anon_root=%s" % root, "no_anon_password=YES", "ftp_username=ftp",
            "secure_chroot_dir=%s" % empty, "seccomp_sandbox=NO",
            "pasv_enable=YES", "pasv_min_port=%d" % (port + 1),
            "pasv_max_port=%d" % (port + 200), "max_clients=0", "max_per_ip=0",
            "xferlog_enable=NO", "dirlist_enable=YES", "download_enable=YES",
            "use_localtime=YES", "idle_session_timeout=600", "data_connection_timeout=600",
            ""]))
        if tls:
            # Explicit TLS demanded of anonymous logins and data, data sessions resumed.
            f.write("\n".join([
                "ssl_enable=YES", "allow_anon_ssl=YES", "force_anon_logins_ssl=YES",
                "force_anon_data_ssl=YES", "require_ssl_reuse=YES",
                "rsa_cert_file=%s" % tls[1], "rsa_private_key_file=%s" % tls[2], ""]))
    proc = subprocess.Popen(["/usr/sbin/vsftpd", conf], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    if not wait_port(port):
        proc.kill()
        sys.exit("vsftpd did not start")
    return proc


def tree_summary(path):
    count = total = 0
    for dirpath, _, files in os.walk(path):
        for name in files:
            if name == ".listing":
                continue
            count += 1
            total += os.path.getsize(os.path.join(dirpath, name))
    return count, total


def same_file(a, b):
    if os.path.getsize(a) != os.path.getsize(b):
        return False
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x = fa.read(1 << 22)
            if x != fb.read(1 << 22):
                return False
            if not x:
                return True


def timed(cmd, cwd):
    """Runs cmd under /usr/bin/time; returns (wall, cpu, peak_kib, exit_code)."""
    fmt = "%e %U %S %M"
    out = tempfile.NamedTemporaryFile(delete=False)
    out.close()
    start = time.perf_counter()
    code = subprocess.call(["/usr/bin/time", "-o", out.name, "-f", fmt] + cmd, cwd=cwd,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           stdin=subprocess.DEVNULL)
    wall = time.perf_counter() - start
    with open(out.name) as f:
        fields = f.read().split()[-4:]
    os.unlink(out.name)
    return wall, float(fields[1]) + float(fields[2]), int(fields[3]), code


class Workload:
    def __init__(self, key, title, tools, prepare, check, size_bytes):
        self.key, self.title, self.tools = key, title, tools
        self.prepare, self.check, self.size_bytes = prepare, check, size_bytes


def build_workloads(koru, port, root, out_root, tls_port, ca):
    url = "ftp://127.0.0.1:%d" % port
    loc = "127.0.0.1:%d" % port
    lftp = ["lftp", "-p", str(port), "-e"]

    def fresh(name):
        path = os.path.join(out_root, name)
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path)
        return path

    def check_big(path):
        return same_file(os.path.join(path, "big.bin"), os.path.join(root, "big", "big.bin"))

    def check_tree(expect):
        def check(path):
            # Tools put the tree at different depths; count what arrived anywhere below.
            return tree_summary(path) == expect
        return check

    tree_expect = tree_summary(os.path.join(root, "tree"))
    flat_expect = tree_summary(os.path.join(root, "flat"))
    big = {
        "koru": [koru, loc + "/big/"],
        "curl": ["curl", "-s", "-o", "big.bin", url + "/big/big.bin"],
        "wget": ["wget", "-q", "-O", "big.bin", url + "/big/big.bin"],
        "lftp": lftp + ["get /big/big.bin -o big.bin; bye", "127.0.0.1"],
        "limit": ["socat", "-b131072", "-u", "TCP:127.0.0.1:%d" % (port + 250),
                  "CREATE:big.bin"],
    }
    tree = {
        "koru": [koru, loc + "/tree/", "-S"],
        "wget": ["wget", "-q", "-m", "-nH", url + "/tree/"],
        "lftp": lftp + ["mirror /tree/ tree; bye", "127.0.0.1"],
    }
    flat = {
        "koru": [koru, loc + "/flat/"],
        "wget": ["wget", "-q", "-m", "-nH", url + "/flat/"],
        "lftp": lftp + ["mirror /flat/ flat; bye", "127.0.0.1"],
    }
    secure = {
        "koru": [koru, "ftpes://127.0.0.1:%d/big/" % tls_port],
        "curl": ["curl", "-s", "--ssl-reqd", "--cacert", ca, "-o", "big.bin",
                 "ftp://127.0.0.1:%d/big/big.bin" % tls_port],
        "lftp": ["lftp", "-p", str(tls_port), "-e",
                 "set ftp:ssl-force true; set ftp:ssl-allow-anonymous true; "
                 "set ftp:ssl-protect-data true; "
                 "set ssl:ca-file %s; get /big/big.bin -o big.bin; bye" % ca, "127.0.0.1"],
    }
    big_title = "one %s file" % size_text(BIG_SIZE)
    return [
        Workload("a", big_title, big, lambda t: fresh("a-" + t), check_big, BIG_SIZE),
        Workload("b", "tree 20 x 100 x 4 KiB, empty target", tree, lambda t: fresh("b-" + t),
                 check_tree(tree_expect), tree_expect[1]),
        Workload("c", "the same tree, complete target", tree,
                 lambda t: os.path.join(out_root, "b-" + t), check_tree(tree_expect), 0),
        Workload("d", "one directory of 1,000 x 1 KiB", flat, lambda t: fresh("d-" + t),
                 check_tree(flat_expect), flat_expect[1]),
        Workload("e", big_title + " over explicit FTPS (TLS)", secure,
                 lambda t: fresh("e-" + t), check_big, BIG_SIZE),
    ]


def size_text(size):
    return "%d GiB" % (size >> 30) if size >= 1 << 30 else "%d MiB" % (size >> 20)


def serve_limit(root, port):
    """The socket file-to-file limit: socat sends the big file to whoever connects."""
    # -U: from the second address to the first, so every connection opens the file afresh.
    return subprocess.Popen(["socat", "-b131072", "-U",
                             "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr,fork" % (port + 250),
                             "OPEN:%s,rdonly" % os.path.join(root, "big", "big.bin")],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def run_workload(w, rounds):
    samples = {tool: [] for tool in w.tools}
    for r in range(rounds + 1):
        for tool, cmd in w.tools.items():
            cwd = w.prepare(tool)
            wall, cpu, peak, code = timed(cmd, cwd)
            ok = w.check(cwd)
            if code != 0 and tool != "koru" or not ok:
                sys.exit("workload %s: %s failed (exit %d, check %s)" % (w.key, tool, code, ok))
            if r > 0:  # round 0 warms the caches up
                samples[tool].append((wall, cpu, peak))
    return samples


def report(w, samples, rounds):
    peers = [t for t in samples if t not in ("koru", "limit")]
    ratios = []
    for i in range(rounds):
        best = min(samples[t][i][0] for t in peers)
        ratios.append(samples["koru"][i][0] / best)
    lines = ["### (%s) %s" % (w.key, w.title), "",
             "| tool | wall s (median) | min-max | CPU s (median) | MB/s | peak MiB |",
             "|---|---|---|---|---|---|"]
    for tool, runs in samples.items():
        walls = [s[0] for s in runs]
        cpus = [s[1] for s in runs]
        wall = statistics.median(walls)
        rate = "%.0f" % (w.size_bytes / wall / 1e6) if w.size_bytes else "-"
        lines.append("| %s | %.3f | %.3f-%.3f | %.3f | %s | %.1f |" % (
            tool, wall, min(walls), max(walls), statistics.median(cpus), rate,
            max(s[2] for s in runs) / 1024))
    best_peer = min(peers, key=lambda t: statistics.median(s[0] for s in samples[t]))
    lines.append("")
    lines.append("KORU / best peer (%s), round by round: median %.2f (%s)" % (
        best_peer, statistics.median(ratios), ", ".join("%.2f" % x for x in ratios)))
    if "curl" in samples:
        koru = statistics.median(s[0] for s in samples["koru"])
        curl_cpu = statistics.median(s[1] for s in samples["curl"])
        koru_cpu = statistics.median(s[1] for s in samples["koru"])
        curl_wall = statistics.median(s[0] for s in samples["curl"])
        line = "KORU / curl wall %.2f, KORU / curl CPU %.2f" % (koru / curl_wall,
                                                               koru_cpu / curl_cpu)
        if "limit" in samples:
            limit = statistics.median(s[0] for s in samples["limit"])
            line += ", KORU speed / file-to-file limit %.2f" % (limit / koru)
        lines.append(line)
    lines.append("")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--koru", required=True)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--only", default="abcde")
    parser.add_argument("--big-mib", type=int, default=1024,
                        help="size of the big file of (a) and (e), for a quick run")
    args = parser.parse_args()
    global BIG_SIZE
    BIG_SIZE = args.big_mib << 20

    base = "/dev/shm" if shutil.disk_usage("/dev/shm").free > 4 * BIG_SIZE else tempfile.gettempdir()
    work = tempfile.mkdtemp(prefix="koru-bench.", dir=base)
    print("Data and downloads in %s (%s)" % (work, "tmpfs" if base == "/dev/shm" else "disk"))
    root = os.path.join(work, "root")
    out_root = os.path.join(work, "out")
    os.makedirs(out_root)
    procs = []

    def cleanup(*_):
        for p in procs:
            if p.poll() is None:
                p.terminate()
                p.wait()
        shutil.rmtree(work, ignore_errors=True)

    signal.signal(signal.SIGTERM, lambda *a: (cleanup(), sys.exit(1)))
    try:
        make_data(root)
        port = free_port()
        procs.append(start_vsftpd(root, work, port))
        procs.append(serve_limit(root, port))
        wait_port(port + 250)
        tls = make_certificates(work)
        tls_port = free_port()
        procs.append(start_vsftpd(root, work, tls_port, tls))
        os.environ["SSL_CERT_FILE"] = tls[0]  # how KORU trusts the bench's CA
        print("vsftpd on 127.0.0.1:%d (FTPS: %d), %d counted rounds after one warm-up\n" % (
            port, tls_port, args.rounds))
        for w in build_workloads(os.path.abspath(args.koru), port, root, out_root, tls_port,
                                 tls[0]):
            if w.key not in args.only:
                continue
            print(report(w, run_workload(w, args.rounds), args.rounds), flush=True)
    finally:
        cleanup()


if __name__ == "__main__":
    main()
