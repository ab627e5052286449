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
  w  a tree of 5 directories x 20 files of 4 KiB reached through latency_proxy.py at a round trip
     of --rtt-ms (40 ms), mirrored into an empty directory and then into the complete copy,
     against wget -m, lftp mirror and lftp mirror --parallel=4

KORU runs plain and with -P4 (up to four connections at once) in b, c and w, and with -P16 in b
and c as well (--wide-parallel, 0 to leave it out). A run that fails its check marks its row
failed; the other rows still run.

Every tool runs in alternating rounds (one warm-up round, then --rounds counted ones); every run
is checked (content of the big file, file count and bytes of the trees; through the proxy, that
every passive reply was answered by a data connection through it). The table gives the median
wall and CPU seconds, their min-max, throughput, peak memory, and KORU's time over the best
peer's, taken round by round.
"""
import argparse
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

import latency_proxy

BIG_SIZE = 1 << 30
KORU_PARALLEL = "-P4"
KORU_WIDE = "-P16"  # the widest KORU row of the loopback trees; "" for none
PARALLEL_SUPPORTED = True  # set from KORU's --help


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


def make_tree(top, dirs, files_per_dir, size):
    for d in range(dirs):
        sub = os.path.join(top, "dir%02d" % d)
        os.makedirs(sub)
        for n in range(files_per_dir):
            with open(os.path.join(sub, "file%03d.dat" % n), "wb") as f:
                f.write(os.urandom(size))


def make_data(root, only):
    big = os.path.join(root, "big")
    os.makedirs(big)
    with open(os.path.join(big, "big.bin"), "wb") as f:
        block = os.urandom(1 << 20)
        for i in range(BIG_SIZE >> 20 if set(only) & set("ae") else 0):
            # Every MiB differs, so a misplaced block cannot go unnoticed.
            f.write(i.to_bytes(8, "little") + block[8:])
    make_tree(os.path.join(root, "tree"), 20, 100, 4096)
    make_tree(os.path.join(root, "wan"), 5, 20, 4096)
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
    def __init__(self, key, title, tools, prepare, check, size_bytes, proxy=None, goals=None):
        self.key, self.title, self.tools = key, title, tools
        self.prepare, self.check, self.size_bytes = prepare, check, size_bytes
        self.proxy = proxy  # the latency proxy the tools go through, if any
        # (label, KORU row, peers or None for all, most ratio allowed or None to report)
        self.goals = goals


def with_parallel(tools, widths=None):
    """The tools with a "koru -P4" row (or one per switch of widths) after the plain one."""
    rows = {}
    for tool, cmd in tools.items():
        rows[tool] = cmd
        if tool == "koru":
            for width in widths or [KORU_PARALLEL]:
                rows["koru " + width] = cmd + [width]
    return rows


def build_wan_workloads(koru, proxy, root, out_root):
    port = proxy.listen_port
    url = "ftp://127.0.0.1:%d" % port
    lftp = ["lftp", "-p", str(port), "-e"]
    tools = with_parallel({
        "koru": [koru, "127.0.0.1:%d/wan/" % port, "-S"],
        "wget": ["wget", "-q", "-m", "-nH", url + "/wan/"],
        "lftp": lftp + ["mirror /wan/ wan; bye", "127.0.0.1"],
        "lftp --parallel=4": lftp + ["mirror --parallel=4 /wan/ wan; bye", "127.0.0.1"],
    })
    expect = tree_summary(os.path.join(root, "wan"))
    label = "tree 5 x 20 x 4 KiB at a %g ms round trip" % proxy.rtt_ms

    def target(name, empty):
        path = os.path.join(out_root, name)
        if empty:
            shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path, exist_ok=True)
        return path

    def check(path):
        return tree_summary(path) == expect

    parallel = "koru " + KORU_PARALLEL
    plain = ("plain", "koru", None, None)
    # Without a fresh run before it, the warm-up round fills the no-op targets.
    return [
        Workload("w", label + ", empty target", tools, lambda t: target("w-" + t, True), check,
                 expect[1], proxy, [("fresh", parallel, ["lftp --parallel=4"], 0.5), plain]),
        Workload("w", label + ", complete target", tools, lambda t: target("w-" + t, False),
                 check, 0, proxy, [("no-op", parallel, ["wget"], 0.5), plain]),
    ]


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
    tree = with_parallel({
        "koru": [koru, loc + "/tree/", "-S"],
        "wget": ["wget", "-q", "-m", "-nH", url + "/tree/"],
        "lftp": lftp + ["mirror /tree/ tree; bye", "127.0.0.1"],
    }, [KORU_PARALLEL] + ([KORU_WIDE] if KORU_WIDE else []))
    parallel = "koru " + KORU_PARALLEL
    tree_goals = [("loopback", parallel, ["wget"], 0.8),
                  ("CPU per file", parallel, ["wget"], ("cpu", 1.0))]
    if KORU_WIDE:
        tree_goals.append(("memory", "koru " + KORU_WIDE, None, ("peak MiB", 12)))
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
                 check_tree(tree_expect), tree_expect[1], goals=tree_goals),
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


def is_koru(tool):
    return tool.startswith("koru")


def run_problem(w, tool, cwd, code, before):
    """Why a run does not count ("" when it does)."""
    files_ok = w.check(cwd)
    problem = "" if (code == 0 or is_koru(tool)) and files_ok else (
        "exit %d, check %s" % (code, files_ok))
    if w.proxy:
        w.proxy.wait_idle()
        after = w.proxy.stats.snapshot()
        passive = after["passive"] - before["passive"]
        data = after["data"] - before["data"]
        if data == 0 or data != passive:
            problem += "%s%d of %d passive replies reached through the proxy" % (
                "; " if problem else "", data, passive)
    return problem


def run_workload(w, rounds):
    """Samples (wall, cpu, peak KiB, control and data connections) per tool, and failures."""
    samples = {tool: [] for tool in w.tools}
    failed = {}
    for r in range(rounds + 1):
        for tool, cmd in w.tools.items():
            if tool in failed:
                continue
            cwd = w.prepare(tool)
            before = w.proxy.stats.snapshot() if w.proxy else None
            wall, cpu, peak, code = timed(cmd, cwd)
            problem = run_problem(w, tool, cwd, code, before)
            if problem:
                failed[tool] = problem
                print("workload %s: %s failed (%s)" % (w.key, tool, problem), file=sys.stderr)
            elif r > 0:  # round 0 warms the caches up
                control = data = 0
                if w.proxy:
                    after = w.proxy.stats.snapshot()
                    control = after["control"] - before["control"]
                    data = after["data"] - before["data"]
                samples[tool].append((wall, cpu, peak, control, data))
    return samples, failed


def round_ratios(samples, tool, peers, rounds):
    return [samples[tool][i][0] / min(samples[t][i][0] for t in peers) for i in range(rounds)]


def ratio_text(ratios):
    return "median %.2f (%s)" % (statistics.median(ratios), ", ".join("%.2f" % x for x in ratios))


def tool_label(tool):
    if tool.endswith(KORU_PARALLEL) and not PARALLEL_SUPPORTED:
        return tool + " (not yet supported: runs as plain KORU)"
    return tool


def rate_text(size_bytes, wall):
    if not size_bytes:
        return "-"
    rate = size_bytes / wall / 1e6
    return "%.*f" % (0 if rate >= 100 else 1 if rate >= 1 else 2, rate)


def table(w, samples, failed):
    conns = " control/data connections |" if w.proxy else ""
    lines = ["| tool | wall s (median) | min-max | CPU s (median) | MB/s | peak MiB |" + conns,
             "|---|---|---|---|---|---|" + ("---|" if w.proxy else "")]
    for tool in w.tools:
        if tool in failed:
            lines.append("| %s | failed: %s |" % (tool_label(tool), failed[tool]))
            continue
        runs = samples[tool]
        walls = [s[0] for s in runs]
        wall = statistics.median(walls)
        line = "| %s | %.3f | %.3f-%.3f | %.3f | %s | %.1f |" % (
            tool_label(tool), wall, min(walls), max(walls),
            statistics.median(s[1] for s in runs), rate_text(w.size_bytes, wall),
            max(s[2] for s in runs) / 1024)
        if w.proxy:
            line += " %d/%d |" % (statistics.median(s[3] for s in runs),
                                  statistics.median(s[4] for s in runs))
        lines.append(line)
    return lines


def other_goal_line(label, row, peer, kind, most, samples):
    """A goal on CPU seconds against a peer's (same files, so per file too) or on peak memory."""
    if kind == "cpu":
        mine = statistics.median(s[1] for s in samples[row])
        theirs = statistics.median(s[1] for s in samples[peer])
        ratio = mine / theirs if theirs else float("inf") if mine else 1.0
        return "Goal, %s: %s CPU at most %.2f of %s: median %.3f s against %.3f s (%.2f), %s" % (
            label, row, most, peer, mine, theirs, ratio, "met" if ratio <= most else "not met")
    peak = max(s[2] for s in samples[row]) / 1024
    return "Goal, %s: %s peak at most %g MiB: %.1f MiB, %s" % (
        label, row, most, peak, "met" if peak <= most else "not met")


def goal_lines(w, samples, failed, peers, rounds):
    lines = []
    for label, row, goal_peers, most in w.goals or []:
        names = goal_peers or peers
        against = names[0] if goal_peers else "fastest peer"
        if isinstance(most, tuple):
            if row in failed or any(t in failed for t in goal_peers or []):
                lines.append("Goal, %s: %s: not measured (a row failed)" % (label, row))
            else:
                lines.append(other_goal_line(label, row, against, most[0], most[1], samples))
            continue
        if most is None:
            if row not in failed:
                lines.append("Goal, %s: %s unchanged from a build without -P: median wall "
                             "%.3f s" % (label, row, statistics.median(s[0] for s in samples[row])))
            continue
        if row in failed or not names or any(t in failed for t in names):
            lines.append("Goal, %s: %s at most %.2f of %s: not measured (a row failed)" % (
                label, row, most, against))
            continue
        ratios = round_ratios(samples, row, names, rounds)
        verdict = "met" if statistics.median(ratios) <= most else "not met"
        lines.append("Goal, %s: %s at most %.2f of %s, round by round: %s, %s" % (
            label, row, most, against, ratio_text(ratios), verdict))
    return lines


def report(w, samples, failed, rounds):
    peers = [t for t in samples if not is_koru(t) and t != "limit" and t not in failed]
    lines = ["### (%s) %s" % (w.key, w.title), ""] + table(w, samples, failed) + [""]
    if peers:
        best_peer = min(peers, key=lambda t: statistics.median(s[0] for s in samples[t]))
        for tool in samples:
            if is_koru(tool) and tool not in failed:
                lines.append("%s / best peer (%s), round by round: %s" % (
                    tool.upper(), best_peer,
                    ratio_text(round_ratios(samples, tool, peers, rounds))))
    lines += goal_lines(w, samples, failed, peers, rounds)
    if "curl" in samples and "koru" in samples and not failed:
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


def parallel_supported(koru):
    """Whether KORU's --help lists a -P switch (an unknown switch is ignored)."""
    usage = subprocess.run([koru, "--help"], capture_output=True, text=True,
                           stdin=subprocess.DEVNULL)
    return re.search(r"^\s*-P", usage.stdout + usage.stderr, re.M) is not None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--koru", required=True)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--only", default="abcdew")
    parser.add_argument("--big-mib", type=int, default=1024,
                        help="size of the big file of (a) and (e), for a quick run")
    parser.add_argument("--rtt-ms", type=float, default=40,
                        help="round trip the latency proxy of (w) puts between tool and server")
    parser.add_argument("--wide-parallel", type=int, default=16,
                        help="connections of the widest KORU row in (b) and (c), 0 for none")
    args = parser.parse_args()
    global BIG_SIZE, PARALLEL_SUPPORTED, KORU_WIDE
    BIG_SIZE = args.big_mib << 20
    KORU_WIDE = "-P%d" % args.wide_parallel if args.wide_parallel else ""
    koru = os.path.abspath(args.koru)
    PARALLEL_SUPPORTED = parallel_supported(koru)

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
        make_data(root, args.only)
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
        workloads = build_workloads(koru, port, root, out_root, tls_port, tls[0])
        if "w" in args.only:
            proxy = latency_proxy.start_in_thread("127.0.0.1", port, args.rtt_ms)
            greeting, noop = latency_proxy.measure_round_trip(proxy.listen_port)
            print("Latency proxy on 127.0.0.1:%d: a NOOP's round trip %.1f ms, connect to "
                  "greeting %.1f ms\n" % (proxy.listen_port, noop * 1e3, greeting * 1e3))
            workloads += build_wan_workloads(koru, proxy, root, out_root)
        for w in workloads:
            if w.key not in args.only:
                continue
            samples, failed = run_workload(w, args.rounds)
            print(report(w, samples, failed, args.rounds), flush=True)
    finally:
        cleanup()


if __name__ == "__main__":
    main()
