#!/usr/bin/env python3
"""Crash-and-kill soak of `send-crashes` against the local crash server.

Each round adds one to three crashes to a dump directory (the program's own,
from `simulate-crash`, and written samples), switches on random server faults,
runs `send-crashes` and, in a share of the rounds, kills it with SIGKILL at a
random moment. Then, as an operator would, `retry` gives every package the
server refused three times new attempts, and a few clean runs follow (no
faults, no kills, default time-outs), in which no upload may fail; then every
crash must be complete (its stored object decrypting to the zip the program
kept). A crash that ends "Failed", or without a status file, was lost: the
count is reported and each one is a violation. Every state file must load and every data
file belong to a package; no upload may be completed twice at the store; and
no content key may appear in any file the program or this script wrote.
Prints one table and exits 1 on any violation, keeping the work directory
(with faults.json and requests.json, by round) for a look.

The seed repeats the choices of a run, not its timing: where a kill lands
depends on how fast the machine is at that moment.
"""

import argparse
import base64
import hashlib
import json
import os
import random
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request
import zipfile
from collections import Counter
from datetime import datetime, timezone
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SERVER_DIR = ROOT / "tools" / "crash-server"

FAULT_KINDS = ["key", "register", "upload-id", "part-url", "complete-url", "part", "complete"]
FAULT_ACTIONS = ["status", "drop", "hang", "delay"]
# 200 comes with a body that is not what the program expects (a proxy's page).
FAULT_STATUSES = [200, 400, 403, 404, 429, 500, 502, 503]
PART_SIZE = 32 * 1024  # dumps of up to 256 KiB: several parts, so kills land between them
TIMEOUT_MINUTES = "0.025"  # 1.5 s: a hang costs a run no more than that
RETRYING = {"Pending", "Started", "PendingRetry"}
CLEAN_RUNS = 3
RUN_LIMIT_SECONDS = 120  # an unkilled run that takes longer is stuck
NO_PROXY = urllib.request.build_opener(urllib.request.ProxyHandler({}))


# The lock every send-crashes run holds in the data directory: the program's
# own, no package's.
RUN_LOCK = "zorcrashreporter.lock"


def read_json(path):
    """The JSON document in `path`, or None when it does not load."""
    try:
        return json.loads(Path(path).read_text())
    except (OSError, ValueError, UnicodeDecodeError):
        return None


def moment(text):
    """An ISO-8601 time as an aware datetime (local time when it names no zone)."""
    try:
        return datetime.fromisoformat(text).astimezone()
    except (TypeError, ValueError):
        return datetime.max.replace(tzinfo=timezone.utc)  # unreadable: counts as recent


class CrashServer:
    """crash-server.js on a free port with its own data folder."""

    def __init__(self, work):
        self.data = work / "server"
        self.out_path = work / "server.out"
        with open(self.out_path, "wb") as out, open(work / "server.err", "wb") as err:
            self.proc = subprocess.Popen(
                ["node", str(SERVER_DIR / "crash-server.js"), "--port", "0", "--data", str(self.data)],
                stdout=out, stderr=err, stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 60
        self.base = None
        while self.base is None:
            first = self.out_path.read_text(errors="replace").split("\n", 1)
            if len(first) == 2 and first[0].startswith("listening on "):
                self.base = first[0][len("listening on "):]
            elif self.proc.poll() is not None or time.monotonic() > deadline:
                self.proc.kill()
                raise RuntimeError(f"crash-server.js did not start; see {work / 'server.err'}")
            else:
                time.sleep(0.05)

    def call(self, method, path, body=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.base + path, data=data, method=method)
        with NO_PROXY.open(request, timeout=30) as reply:
            return json.loads(reply.read())

    def stop(self):
        """SIGTERM; returns the exit status (0 when it stopped cleanly)."""
        self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            return self.proc.wait()


class Soak:
    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.rng = random.Random(args.seed)
        self.binary = (ROOT / args.build / "zorcrashreporter").resolve()
        self.dumps = work / "dumps"
        self.data = work / "data"
        self.runs = work / "runs"
        for d in (self.dumps, self.runs, work / "home"):
            d.mkdir(parents=True, exist_ok=True)
        self.crashes = {}  # package name -> {dump file name: sha256}
        self.requests = []  # every request the server saw, with its round
        self.wrapped_keys = set()  # base64 "enc-key" values already unwrapped
        self.keys = []  # the content keys, kept in memory only
        self.violations = []  # (package or "-", what broke)
        self.durations = []  # of the runs not killed
        self.stats = Counter()
        self.kill_points = Counter()
        self.exit_statuses = Counter()
        self.run_count = 0
        self.faults = []  # every fault switched on, with its round
        self.clean_since = None  # when the clean runs began
        self.env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
        self.env.update(HOME=str(work / "home"), XDG_CONFIG_HOME=str(work / "home" / "config"),
                        XDG_STATE_HOME=str(work / "home" / "state"),
                        XDG_DATA_HOME=str(work / "home" / "share"))

    def violation(self, package, what):
        self.violations.append((package, what))

    def write_configs(self, base):
        common = (f"servercrashupload.upload_endpoint: {base}\n"
                  f"servercrashupload.rsa_endpoint: {base}/crash/key\n"
                  f"servercrashupload.dump.dirs: {self.dumps}\n"
                  f"servercrashupload.data.dir: {self.data}\n")
        send = (common + f"servercrashupload.log.dir: {self.work / 'logs'}\n"
                f"servercrashupload.upload_part_size_in_bytes: {PART_SIZE}\n"
                "servercrashupload.preserve_upload_packages: true\n"
                # Transient trouble delays a package; the soak's runs follow at once.
                "servercrashupload.retry_delay_minutes: 0\n"
                # Completed crashes stay, so the end can compare each one.
                "servercrashupload.delete_completed_dumps: false\n")
        # The clean runs keep the default time-outs: any failure there is the
        # program's, not a busy machine's.
        self.clean_config = self.work / "clean.yml"
        self.clean_config.write_text(send)
        self.config = self.work / "send.yml"
        self.config.write_text(send + "".join(f"servercrashupload.http_{verb}_timeout_in_minutes: {TIMEOUT_MINUTES}\n"
                                              for verb in ("get", "post", "put")))
        # The crashing "application" logs elsewhere: a crash carries a copy of
        # its log, and the uploader's own log grows with every run.
        self.app_config = self.work / "app.yml"
        self.app_config.write_text(common + f"servercrashupload.log.dir: {self.work / 'applogs'}\n")

    def run(self, label, args, kill_after=None):
        """Runs the program, killing it after `kill_after` seconds when given; returns
        (exit status, killed, seconds). Its output goes to runs/."""
        self.run_count += 1
        stem = self.runs / f"{self.run_count:04d}-{label}"
        with open(f"{stem}.out", "wb") as out, open(f"{stem}.err", "wb") as err:
            proc = subprocess.Popen([str(self.binary), *args], stdout=out, stderr=err,
                                    stdin=subprocess.DEVNULL, cwd=self.work, env=self.env,
                                    preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_CORE, (0, 0)))
            start = time.monotonic()
            try:
                status = proc.wait(timeout=RUN_LIMIT_SECONDS if kill_after is None else kill_after)
                killed = False
            except subprocess.TimeoutExpired:
                proc.send_signal(signal.SIGKILL)
                status = proc.wait()
                killed = True
                if kill_after is None:
                    self.violation("-", f"{stem.name}: still running after {RUN_LIMIT_SECONDS} s")
        return status, killed, time.monotonic() - start

    def sample_crash(self, round_no):
        """A crash directory as an application leaves it: manifest, dump, log."""
        name = f"{self.rng.getrandbits(128):032x}"
        pid = self.rng.randint(100, 99999)
        app = f"app{self.rng.randint(1, 5)}"
        directory = self.dumps / f"{app}_{name}.crash"
        directory.mkdir()
        dump = self.rng.randbytes(self.rng.randint(1024, 256 * 1024))
        (directory / f"{app}.{pid}.dmp").write_bytes(dump)
        (directory / f"{app}.{pid}.manifest").write_text(
            json.dumps({"application": app, "pid": pid, "product-build": f"1.0.{round_no}"}))
        (directory / f"{app}.{pid}.log").write_text(
            "".join(f"{app} round {round_no} line {i}\n" for i in range(self.rng.randint(1, 200))))
        self.crashes[name] = {f"{app}.{pid}.dmp": hashlib.sha256(dump).hexdigest()}

    def simulated_crash(self):
        """The program's own crash (crash-handler feature), minus its full dump."""
        before = set(self.dumps.iterdir())
        # Each crash is of a fresh process with a log of its own: the crash
        # carries a copy, and a stack overflow logs a megabyte.
        shutil.rmtree(self.work / "applogs", ignore_errors=True)
        crash_type = self.rng.choice(["AccessViolation", "LogicAssertFailure", "StackOverFlow"])
        status, _, _ = self.run("simulate", [
            "--command", "simulate-crash", "--type", crash_type, "--enable-features", "crash-handler",
            "--config-file", str(self.app_config), "--crashdumps-dir", str(self.dumps),
            "--crashdumps-temp-dir", str(self.work / "crashtemp"),
            "--min-crash-size", str(self.rng.randint(0, 64))])
        made = [p for p in set(self.dumps.iterdir()) - before if p.name.endswith(".crash")]
        if status >= 0 or len(made) != 1:
            self.violation("-", f"simulate-crash --type {crash_type} ended with {status} and left "
                                f"{len(made)} crash directories")
            return
        dumps = {}
        for f in made[0].iterdir():
            # The full dump is some 75 MB of this process's memory; it would make
            # each round slow and the disk full, and its writer has tests of its own.
            if f.name.endswith("-full.dmp"):
                f.unlink()
            elif f.name.endswith(".dmp"):
                dumps[f.name] = hashlib.sha256(f.read_bytes()).hexdigest()
        self.crashes[made[0].name.rsplit("_", 1)[1][:-len(".crash")]] = dumps

    def random_fault(self):
        fault = {"kind": self.rng.choice(FAULT_KINDS), "nth": self.rng.randint(1, 3),
                 "action": self.rng.choice(FAULT_ACTIONS), "times": self.rng.randint(1, 2)}
        if fault["action"] == "status":
            # The completion's reply body is not read: a 200 there is success
            # by the protocol, whatever it says.
            fault["status"] = self.rng.choice(FAULT_STATUSES[1:] if fault["kind"] == "complete" else FAULT_STATUSES)
            fault["body"] = "<html>proxy says no</html>" if fault["status"] == 200 else '{"error":"soak"}'
        elif fault["action"] == "delay":
            fault["ms"] = self.rng.randint(100, 2500)  # about half of them outlast the time-out
        return fault

    def send(self, server, round_no, kill_after=None):
        config = self.config if self.clean_since is None else self.clean_config
        status, killed, seconds = self.run(
            "send", ["--command", "send-crashes", "--config-file", str(config)], kill_after)
        seen = server.call("GET", "/_test/requests")
        server.call("POST", "/_test/reset")
        for r in seen:
            r["round"] = round_no
        self.requests.extend(seen)
        if killed:
            if kill_after is not None:  # else run() has reported it stuck
                self.stats["kills"] += 1
                # The last request shows how far the run got.
                self.kill_points[f"after {seen[-1]['kind']}" if seen else "before any request"] += 1
        else:
            self.durations.append(seconds)
            self.exit_statuses[status] += 1
            if status < 0:
                self.violation("-", f"send-crashes of round {round_no} died of signal {-status}")
        self.learn_keys(server)

    def learn_keys(self, server):
        """Unwraps, on the server's side, every content key registered so far."""
        for record_path in (server.data / "packages").glob("*.json"):
            registration = json.loads(record_path.read_text()).get("registration") or {}
            wrapped = registration.get("enc-key")
            if not wrapped or wrapped in self.wrapped_keys:
                continue
            shown = subprocess.run(["node", str(SERVER_DIR / "decrypt.js"), "--data", str(server.data),
                                    record_path.stem, "--key"], capture_output=True, text=True)
            if shown.returncode != 0:
                self.violation("-", f"decrypt.js --key {record_path.stem}: {shown.stderr.strip()}")
                continue
            self.wrapped_keys.add(wrapped)
            self.keys.append(bytes.fromhex(shown.stdout.strip()))

    def soak(self, server):
        for round_no in range(1, self.args.rounds + 1):
            for _ in range(self.rng.randint(1, 3)):
                if self.rng.random() < 0.4:
                    self.simulated_crash()
                else:
                    self.sample_crash(round_no)
            for _ in range(self.rng.randint(0, 2)):
                fault = self.random_fault()
                server.call("POST", "/_test/faults", fault)
                self.faults.append({"round": round_no, **fault})
                self.stats["faults"] += 1
            kill_after = None
            if self.rng.random() < self.args.kill_share:
                # Uniform over a typical run, so kills land in every phase.
                recent = self.durations[-20:]
                kill_after = self.rng.uniform(0, sum(recent) / len(recent) if recent else 1.0)
            self.send(server, round_no, kill_after)
        self.clean_since = datetime.now(timezone.utc)
        status, _, _ = self.run("retry", ["--command", "retry", "--config-file", str(self.clean_config)])
        if status != 0:
            self.violation("-", f"retry ended with {status}")
        for _ in range(CLEAN_RUNS):
            self.send(server, "clean")

    # ---- the checks at the end ----

    def check_state_files(self):
        """Every state file parses; returns {package name: [status file]}."""
        status_files = {}
        for f in sorted(self.data.iterdir()) if self.data.exists() else []:
            if f.name.startswith("."):
                self.violation("-", f"temporary file {f.name} left in the data directory after clean runs")
                continue
            # Zips and encrypted files are no JSON; the run lock holds no state.
            if f.suffix in (".zip", ".enc") or f.name == RUN_LOCK:
                continue
            try:
                json.loads(f.read_text())
            except (ValueError, UnicodeDecodeError) as e:
                self.violation(f.name.split(".", 1)[0], f"state file {f.name} does not load: {e}")
            if ".crash-package." in f.name:
                status_files.setdefault(f.name.split(".crash-package.")[0], []).append(f)
        listing = subprocess.run([str(self.binary), "--command", "list", "--output", "json", "--config-file",
                                  str(self.config)], capture_output=True, text=True, env=self.env, cwd=self.work)
        try:
            for entry in json.loads(listing.stdout):
                if not entry["readable"]:
                    self.violation(entry["name"], f"list shows it unreadable: {str(entry.get('error'))[:200]}")
        except ValueError as e:
            self.violation("-", f"list --output json printed no JSON ({e}): {listing.stdout[:200]!r}")
        return status_files

    def check_complete(self, server, name, doc):
        kept = Path(doc.get("package-data-files", {}).get("zipped-package-file", ""))
        crash_id = doc.get("remote-package-id", "")
        if not kept.is_file():
            return self.violation(name, f"complete, but its kept zip {kept} is missing")
        record_path = server.data / "packages" / f"{crash_id}.json"
        if (read_json(record_path) or {}).get("state") != "complete":
            return self.violation(name, f"complete, but the server's package {crash_id!r} is not")
        out = self.work / "verify.zip"
        shown = subprocess.run(["node", str(SERVER_DIR / "decrypt.js"), "--data", str(server.data), crash_id,
                                "--zip", str(out)], capture_output=True, text=True)
        if shown.returncode != 0:
            return self.violation(name, f"stored object does not decrypt: {shown.stderr.strip()}")
        stored = hashlib.sha256(out.read_bytes()).hexdigest()
        out.unlink()
        if stored != hashlib.sha256(kept.read_bytes()).hexdigest():
            return self.violation(name, f"stored object of {crash_id} differs from the kept zip {kept.name}")
        with zipfile.ZipFile(kept) as z:
            entries = {Path(i.filename).name: i for i in z.infolist()}
            for dump, digest in self.crashes[name].items():
                if dump not in entries:
                    self.violation(name, f"the uploaded zip lacks {dump}")
                elif hashlib.sha256(z.read(entries[dump])).hexdigest() != digest:
                    self.violation(name, f"the uploaded zip's {dump} differs from the crash's")
        return None

    def check_packages(self, server, status_files):
        recorded = {Path(f) for files in status_files.values() for f in files}
        for files in status_files.values():
            recorded |= {Path(p) for f in files for p in (read_json(f) or {}).get("package-data-files", {}).values()}
        for f in self.data.iterdir() if self.data.exists() else []:
            if f not in recorded and not f.name.startswith(".") and f.name != RUN_LOCK:
                self.violation(f.name.split(".", 1)[0], f"data file {f.name} belongs to no package")
        for name in self.crashes:
            files = status_files.get(name, [])
            if len(files) != 1:
                self.stats["lost"] += not files
                self.violation(name, f"{len(files)} status files: {[f.name for f in files]}")
                continue
            doc = read_json(files[0])
            if doc is None:
                continue  # reported with the state files
            status, results = doc.get("upload-status"), doc.get("upload-results", [])
            last_error = doc.get("last-error") or {}
            if status != "Complete" and last_error and moment(last_error.get("timestamp")) >= self.clean_since:
                self.violation(name, f"failed in a clean run: {last_error.get('upload-message', '')[:200]}")
            for r in results:
                if r.get("upload-result-code") in ("ClientError", "NetworkError") and \
                        moment(r.get("timestamp")) >= self.clean_since:
                    self.violation(name, f"failed in a clean run: {r.get('upload-message', '')[:200]}")
            if status == "Complete":
                self.stats["complete"] += 1
                self.check_complete(server, name, doc)
            elif status in RETRYING:
                self.stats["retrying"] += 1
                self.violation(name, f"still {status} after the clean runs")
            elif status == "Failed":
                self.stats["failed"] += 1
                self.stats["lost"] += 1
                self.violation(name, "lost: given up although retried")
            else:
                self.violation(name, f"status {status!r}")

    def check_completions(self, server):
        """No package completed at the store twice; counts repeats the front answered."""
        name_of = {}
        for record_path in (server.data / "packages").glob("*.json"):
            registration = json.loads(record_path.read_text()).get("registration") or {}
            name_of[record_path.stem] = registration.get("client-issue-id", "?")
        uploads = {}  # name -> Counter of (crash id, file, upload id) completed with 200
        for r in self.requests:
            if r["kind"] == "complete" and r["status"] == 200:
                _, _, _, _, crash_id, file = r["path"].split("/", 5)
                uploads.setdefault(name_of.get(crash_id, "?"), Counter())[
                    (crash_id, file, r["query"].get("uploadId"))] += 1
        for name, completed in uploads.items():
            self.stats["repeated completions"] += sum(completed.values()) - len(completed)
            objects = [o for crash_id, _, _ in completed
                       for o in (server.data / "s3" / "crashes").glob(f"*/{crash_id}/*._S3rver_object")]
            if len(completed) > 1 or len(set(objects)) != 1:
                self.violation(name, f"completed {len(completed)} uploads and the store holds "
                                     f"{len(set(objects))} objects for it")
        return uploads

    def check_keys(self):
        """No content key, raw or as hex or base64, in any file under the work directory, and no
        presigned URL's signature outside the server's own directory."""
        raw = set(self.keys)
        texts = {}
        for key in self.keys:
            for form in (key.hex(), key.hex().upper(), base64.b64encode(key).decode()[:43],
                         base64.urlsafe_b64encode(key).decode()[:43]):
                texts[form.encode()] = key
        # A key at any offset covers one 8-byte-aligned window that starts at
        # one of its first eight bytes: a set look-up per window finds it.
        windows = {key[o:o + 8] for key in raw for o in range(8)}
        hex_run = re.compile(rb"[0-9A-Fa-f]{64,}")
        b64_run = re.compile(rb"[A-Za-z0-9+/_-]{43,}")
        signature = re.compile(rb"X-Amz-Signature", re.IGNORECASE)
        server_dir = self.work / "server"
        scanned = 0
        for path in sorted(p for p in self.work.rglob("*") if p.is_file() and not p.is_symlink()):
            data = path.read_bytes()
            scanned += len(data)
            found = set()
            if raw and windows.intersection(data[i:i + 8] for i in range(0, len(data) - 7, 8)):
                found |= {k for k in raw if k in data}
            for pattern, width in ((hex_run, 64), (b64_run, 43)):
                for m in pattern.finditer(data):
                    run = m.group()
                    found |= {texts[run[i:i + width]] for i in range(len(run) - width + 1)
                              if run[i:i + width] in texts}
            for key in found:
                self.violation("-", f"content key {key.hex()[:8]}... found in {path.relative_to(self.work)}")
            if server_dir not in path.parents and signature.search(data):
                self.violation("-", f"a presigned URL's signature found in {path.relative_to(self.work)}")
        return scanned

    def unlearned_registrations(self):
        count = 0
        for r in self.requests:
            if r["kind"] == "upload-id" and r["status"] == 200:
                try:
                    count += json.loads(r["body"]).get("enc-key") not in self.wrapped_keys
                except ValueError:
                    count += 1
        return count


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--kill-share", type=float, default=0.3)
    parser.add_argument("--work", type=Path, default=None,
                        help="work directory (default: a temporary one, removed unless a violation is found)")
    parser.add_argument("--build", default="build", help="build directory, relative to the repository")
    args = parser.parse_args()
    if args.rounds < 1 or not 0 <= args.kill_share <= 1:
        parser.error("--rounds must be at least 1 and --kill-share from 0 to 1")
    if args.seed is None:
        args.seed = int.from_bytes(os.urandom(4), "big")
    binary = ROOT / args.build / "zorcrashreporter"
    if not os.access(binary, os.X_OK):
        sys.exit(f"soak: no program at {binary}; build it first")
    if args.work is None:
        work, temporary = Path(tempfile.mkdtemp(prefix="zor-soak-")), True
    else:
        work, temporary = args.work.resolve(), False
        if work.exists() and any(work.iterdir()):
            sys.exit(f"soak: work directory {work} is not empty")
        work.mkdir(parents=True, exist_ok=True)
    print(f"soak: seed {args.seed}, {args.rounds} rounds, kill share {args.kill_share}, work {work}", flush=True)
    started = time.monotonic()
    soak = Soak(args, work)
    server = CrashServer(work)
    try:
        soak.write_configs(server.base)
        soak.soak(server)
    finally:
        stopped = server.stop()
    if stopped != 0:
        print(f"soak: the crash server exited with {stopped} when stopped", file=sys.stderr)
    soak.check_packages(server, soak.check_state_files())
    soak.check_completions(server)
    scanned = soak.check_keys()
    unlearned = soak.unlearned_registrations()
    (work / "requests.json").write_text(json.dumps(soak.requests))
    (work / "faults.json").write_text(json.dumps(soak.faults))
    wall = time.monotonic() - started

    s = soak.stats
    header = ["rounds", "kills", "faults", "packages", "complete", "retrying", "failed", "lost",
              "violations"]
    row = [args.rounds, s["kills"], s["faults"], len(soak.crashes), s["complete"], s["retrying"], s["failed"],
           s["lost"], len(soak.violations)]
    print(" ".join(f"{h:>10}" for h in header))
    print(" ".join(f"{v:>10}" for v in row))
    print(f"seed {args.seed}; wall time {wall:.0f} s; {soak.run_count} program runs; exit statuses "
          f"{dict(sorted(soak.exit_statuses.items()))}")
    print(f"kills {dict(soak.kill_points.most_common())}")
    print(f"repeated completions answered by the front: {s['repeated completions']}; content keys "
          f"{len(soak.keys)} (registrations not learned: {unlearned}), {scanned / 2**20:.0f} MiB scanned")
    for package, what in soak.violations:
        print(f"VIOLATION {package}: {what}")
    if soak.violations or not temporary:
        print(f"work directory kept: {work}")
    else:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if soak.violations else 0


if __name__ == "__main__":
    sys.exit(main())
