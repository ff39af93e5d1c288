#!/usr/bin/env python3
"""serve's page in a real browser (Debian's chromium, headless, driven over WebDriver by
chromedriver): two stations of simulated handsets download into one record while the page is
watched. It must show both stations, a tile that moves while its handset downloads, a failure
of the last hour with its reason, counts that match the record, each new row within 2 s, and a
unit and a device named like markup as text. The record is a SQLite file the stations share, or
with --record postgresql the line's shared record on a PostgreSQL server the test starts.

usage: serve_browser_test.py CLI SIM [--record sqlite|postgresql] [--screenshot FILE]
                                                           (exit 77: no browser, no PostgreSQL)
       serve_browser_test.py CLI --line-screenshot FILE    the page of a line of six stations
                                                           mid-shift, drawn to FILE (PNG)
"""
import base64
import json
import os
import shutil
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
HOSTILE = "<img src=x onerror=alert(1)>"
QUICK = "erase-ms=200; dload-ms=200; reboot-ms=300"


def fail(why):
    print("FAIL: " + why, file=sys.stderr)
    sys.exit(1)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def sample_image(path, size=192 * 1024, start=0x10000, version=203):
    # The flash's picture with the trailer in its last 37 bytes: FF 1D 00, 14 bytes, the
    # version and the start address (32-bit little-endian), 12 bytes.
    body = bytearray(os.urandom(size))
    trailer = b"\xff\x1d\x00" + bytes(14) + version.to_bytes(4, "little") + start.to_bytes(4, "little") + bytes(12)
    body[size - 37:] = trailer
    with open(path, "wb") as f:
        f.write(body)


class WebDriver:
    """The few W3C WebDriver commands the test needs, over chromedriver's HTTP."""

    def __init__(self, port, profile):
        self.base = "http://127.0.0.1:%d" % port
        args = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                "--disable-component-update", "--no-first-run", "--disable-sync", "--user-data-dir=" + profile,
                "--window-size=1920,1080", "--hide-scrollbars"]
        caps = {"capabilities": {"alwaysMatch": {"browserName": "chrome", "goog:chromeOptions": {
            "binary": CHROMIUM, "args": args}}}}
        self.session = self.call("POST", "/session", caps)["sessionId"]

    def call(self, method, path, body=None):
        data = json.dumps(body).encode() if body is not None else (b"{}" if method == "POST" else None)
        req = urllib.request.Request(self.base + path, data=data, method=method,
                                     headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(req, timeout=60) as r:
                return json.loads(r.read())["value"]
        except urllib.error.HTTPError as e:
            value = json.loads(e.read())["value"]
            raise RuntimeError(value.get("error", "") + ": " + value.get("message", "")[:200])

    def go(self, url):
        self.call("POST", "/session/%s/url" % self.session, {"url": url})

    def js(self, script, *args):
        return self.call("POST", "/session/%s/execute/sync" % self.session, {"script": script, "args": list(args)})

    def alert_open(self):
        try:
            self.call("GET", "/session/%s/alert/text" % self.session)
            return True
        except RuntimeError as e:
            if "no such alert" in str(e):
                return False
            raise

    def screenshot(self, path):
        with open(path, "wb") as f:
            f.write(base64.b64decode(self.call("GET", "/session/%s/screenshot" % self.session)))

    def quit(self):
        try:
            self.call("DELETE", "/session/%s" % self.session)
        except Exception:
            pass


# What the page shows, read from its DOM in one go.
READ_PAGE = r"""
const tiles = [...document.querySelectorAll('.tile')].map(t => ({
  station: t.dataset.station, port: t.dataset.port, state: t.dataset.state,
  text: t.querySelector('.tile-state').textContent,
  percent: (t.querySelector('.tile-percent') || {}).textContent || null,
  name: t.querySelector('.tile-port').textContent}));
const rows = (id) => [...document.querySelectorAll('#' + id + ' tbody tr')].map(
  tr => [...tr.cells].map(td => td.textContent));
const totals = document.getElementById('totals').textContent;
const m = totals.match(/Today: (\d+) done, (\d+) failed/);
return {stations: [...document.querySelectorAll('.station')].map(s => s.dataset.station),
        tiles, failures: rows('failures'), latest: rows('latest'),
        done: m ? +m[1] : null, failed: m ? +m[2] : null,
        byStation: [...document.querySelectorAll('#today table')][0] ?
          [...[...document.querySelectorAll('#today table')][0].rows].slice(1).map(r => [...r.cells].map(c => c.textContent)) : [],
        images: document.querySelectorAll('img').length,
        polled: document.body.dataset.polled || null};
"""


class PgServer:
    """A throw-away PostgreSQL server in a temporary folder, reached over its Unix socket; run as
    nobody when the test runs as root (the server refuses root)."""

    USER = "tarvisel"

    def __init__(self):
        self.bin = os.environ.get("TARVISEL_PG_BIN") or "/usr/lib/postgresql/15/bin"
        self.dir = None
        self.running = False

    def available(self):
        return all(os.access(os.path.join(self.bin, b), os.X_OK) for b in ("initdb", "pg_ctl", "psql"))

    def run(self, args, log):
        as_nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] if os.geteuid() == 0 else []
        with open(os.path.join(self.dir, log), "a") as out:
            return subprocess.run(as_nobody + args, stdout=out, stderr=subprocess.STDOUT, timeout=120).returncode == 0

    def start(self):
        self.dir = tempfile.mkdtemp(prefix="tarvisel-pg-")
        if os.geteuid() == 0:
            os.chown(self.dir, 65534, 65534)
        if not self.run([self.bin + "/initdb", "-D", self.dir + "/data", "-U", self.USER, "--auth-local=trust",
                         "-N", "--no-instructions", "-E", "UTF8", "--locale=C"], "initdb.log"):
            fail("initdb failed: " + open(self.dir + "/initdb.log").read()[-2000:])
        self.port = free_port()
        # Durability is no concern of a test's server: no fsync.
        self.running = self.run([self.bin + "/pg_ctl", "-D", self.dir + "/data", "-l", self.dir + "/server.log",
                                 "-w", "-t", "60", "-o", "-k '%s' -h '' -p %d -F -c synchronous_commit=off"
                                 " -c full_page_writes=off" % (self.dir, self.port), "start"], "pg_ctl.log")
        if not self.running:
            fail("the PostgreSQL server did not start: " + open(self.dir + "/pg_ctl.log").read()[-2000:])
        self.query("CREATE DATABASE line", "postgres")
        return self.url()

    def url(self, database="line"):
        return "host=%s port=%d user=%s dbname=%s" % (self.dir, self.port, self.USER, database)

    def query(self, sql, database="line"):
        r = subprocess.run([self.bin + "/psql", self.url(database), "-X", "-q", "-At", "-F", "\t",
                            "-v", "ON_ERROR_STOP=1", "-c", sql], capture_output=True, text=True, timeout=30)
        if r.returncode != 0:
            fail("psql: " + r.stderr.strip())
        return [line.split("\t") for line in r.stdout.splitlines() if line]

    def stop(self):
        if self.running:
            self.run([self.bin + "/pg_ctl", "-D", self.dir + "/data", "-w", "-t", "30", "-m", "immediate", "stop"],
                     "pg_ctl.log")
            self.running = False
        if self.dir:
            shutil.rmtree(self.dir, ignore_errors=True)


def record_counts(record, since_iso):
    if isinstance(record, PgServer):
        rows = record.query("SELECT station, outcome FROM downloads WHERE \"end\" >= '%s'::timestamptz" % since_iso)
    else:
        db = sqlite3.connect("file:%s?mode=ro" % record, uri=True, timeout=5)
        try:
            rows = db.execute("SELECT coalesce(station, host), outcome FROM downloads WHERE \"end\" >= ?",
                              (since_iso,)).fetchall()
        finally:
            db.close()
    done = sum(1 for _, o in rows if o == "completed")
    by_station = {}
    for s, o in rows:
        c = by_station.setdefault(s, [0, 0])
        c[0 if o == "completed" else 1] += 1
    return done, len(rows) - done, by_station


def local_midnight_utc_iso():
    t = time.localtime()
    midnight = time.mktime((t.tm_year, t.tm_mon, t.tm_mday, 0, 0, 0, 0, 0, -1))
    # serve counts the day from the UTC hour that holds local midnight
    return time.strftime("%Y-%m-%dT%H:00:00.000Z", time.gmtime(midnight))


def iso(t):
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(t)) + ".%03dZ" % int((t % 1) * 1000)


def start_serve(cli, record, work, env):
    out = open(os.path.join(work, "serve.out"), "w")
    serve = subprocess.Popen([cli, "serve", "--history", record, "--listen", "127.0.0.1:0"], stdout=out,
                             stderr=subprocess.DEVNULL, env=env)
    for _ in range(200):
        with open(os.path.join(work, "serve.out")) as f:
            line = f.readline()
        if line.startswith("serving "):
            return serve, line.split()[1]
        if serve.poll() is not None:
            fail("serve ended")
        time.sleep(0.05)
    fail("serve did not say where it listens")


def start_driver(work):
    port = free_port()
    chromedriver = subprocess.Popen([CHROMEDRIVER, "--port=%d" % port], stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
    for _ in range(200):
        try:
            urllib.request.urlopen("http://127.0.0.1:%d/status" % port, timeout=1).read()
            break
        except Exception:
            time.sleep(0.05)
    return chromedriver, WebDriver(port, tempfile.mkdtemp(dir=work, prefix="profile-"))


def line_screenshot(cli, shot):
    """Six stations of eight ports mid-shift: a day of rows and the ports' state now."""
    import random
    random.seed(7)
    work = tempfile.mkdtemp(prefix="tarvisel-line-")
    env = dict(os.environ, TARVISEL_SETTINGS=work + "/settings", XDG_DATA_HOME=work + "/data")
    record = work + "/record.sqlite"
    children = []
    driver = None
    try:
        # A first row, of a port that is not there, makes the record as tarvisel makes it.
        sample_image(work + "/fw.bin", size=64 * 1024)
        subprocess.run([cli, "download", work + "/fw.bin", "--device", work + "/none", "--history", record, "--no"],
                       env=env, capture_output=True)
        db = sqlite3.connect(record)
        db.execute("DELETE FROM downloads")
        now = time.time()
        stations = ["line-%d" % n for n in range(1, 7)]
        ports = ["usb-FTDI_FT232R_USB_UART_A%d-if00-port0" % (5028 + p) for p in range(8)]
        images = ["k7-hub-2.3.1.bin", "k7-hub-2.3.1.bin", "k9-lite-1.0.4.bin"]
        failures = ["no-reply", "line-broke", "handset-refused", "no-reply"]
        t = now - 10 * 3600
        unit = 880000
        while t < now - 60:
            for s in stations:
                for p in ports:
                    if random.random() < 0.06:
                        worn = s == "line-4" and p == ports[5]
                        bad = random.random() < (0.35 if worn else 0.03)
                        outcome = random.choice(failures) if bad else "completed"
                        elapsed = random.uniform(70, 110)
                        unit += 1
                        db.execute("INSERT INTO downloads (start, \"end\", host, device, image, outcome, elapsed_s, resends,"
                                   " tool_version) VALUES (?, ?, ?, ?, ?, ?, ?, ?, 'screenshot')",
                                   (iso(t - elapsed), iso(t), s, "/dev/serial/by-id/" + p, "/srv/images/" +
                                    random.choice(images), outcome, elapsed, random.choice([0, 0, 0, 1, 3])))
            t += 60
        db.executescript("""CREATE TABLE IF NOT EXISTS port_states (
            station TEXT NOT NULL, port TEXT NOT NULL, present INTEGER NOT NULL, phase TEXT, percent REAL,
            unit TEXT, last_outcome TEXT, updated TEXT NOT NULL, PRIMARY KEY (station, port));
            CREATE TABLE IF NOT EXISTS station_heartbeats (
            station TEXT PRIMARY KEY, host TEXT, seen TEXT NOT NULL, ended INTEGER NOT NULL DEFAULT 0);""")
        for s in stations:
            db.execute("INSERT INTO station_heartbeats VALUES (?, ?, ?, 0)",
                       (s, s, iso(now - (60 if s == "line-6" else 0.5))))
            for i, p in enumerate(ports):
                kind = random.choice(["busy", "busy", "busy", "done", "waiting", "empty", "busy"])
                if s == "line-4" and i == 5:
                    kind = "failed"
                phase = {"busy": random.choice(["programming", "programming", "erase", "download-mode"])}.get(kind)
                percent = random.uniform(3, 97) if phase == "programming" else None
                last = {"done": "completed", "failed": "line-broke"}.get(kind, "completed")
                db.execute("INSERT INTO port_states VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                           (s, "/dev/serial/by-id/" + p, 0 if kind == "empty" else 1, phase, percent,
                            "SN%07d" % random.randint(1000000, 9999999) if kind != "empty" else None, last,
                            iso(now - random.uniform(0, 1))))
        db.commit()
        db.close()
        serve, url = start_serve(cli, record, work, env)
        children.append(serve)
        chromedriver, driver = start_driver(work)
        children.append(chromedriver)
        # The heartbeats of now: all but one station online.
        db = sqlite3.connect(record)
        db.execute("UPDATE station_heartbeats SET seen = ? WHERE station != 'line-6'", (iso(time.time()),))
        db.commit()
        db.close()
        driver.go(url)
        for _ in range(100):
            if driver.js("return document.querySelectorAll('.tile.busy').length") > 0:
                break
            time.sleep(0.1)
        time.sleep(0.5)
        driver.screenshot(shot)
        print("drawn: " + shot)
        return 0
    finally:
        if driver:
            driver.quit()
        for p in children:
            p.terminate()
            p.wait(timeout=10)
        shutil.rmtree(work, ignore_errors=True)


def seed_sqlite_record(cli, image, link, record, env, start):
    """The record as the shared record's stations will write it: a station and a unit in each row;
    one row with a unit named like markup."""
    subprocess.run([cli, "history", "--history", record], env=env, capture_output=True)
    boot = sqlite3.connect(record)
    # tarvisel makes the record at its first row; made here by the same means beforehand.
    boot.close()
    first = start([cli, "download", image, "--device", link, "--history", record, "--yes"], "warm-up",
                  {"TARVISEL_STATION_NAME": "line-a"})
    first.wait(timeout=120)
    db = sqlite3.connect(record, timeout=10)
    have = {row[1] for row in db.execute("PRAGMA table_info(downloads)")}
    for column in ("station", "unit"):
        if column not in have:
            db.execute("ALTER TABLE downloads ADD COLUMN %s TEXT" % column)
    db.execute("UPDATE downloads SET unit = ? WHERE id = (SELECT max(id) FROM downloads)", (HOSTILE,))
    db.commit()
    db.close()


def main():
    if len(sys.argv) == 4 and sys.argv[2] == "--line-screenshot":
        if not (os.access(CHROMIUM, os.X_OK) and os.access(CHROMEDRIVER, os.X_OK)):
            print("SKIP: no chromium and chromedriver here (scripts/deps --full installs them)")
            return 77
        return line_screenshot(sys.argv[1], os.path.abspath(sys.argv[3]))
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    cli, sim = sys.argv[1], sys.argv[2]
    options = dict(zip(sys.argv[3::2], sys.argv[4::2]))
    shot = options.get("--screenshot")
    on_pg = options.get("--record", "sqlite") == "postgresql"
    if not (os.access(CHROMIUM, os.X_OK) and os.access(CHROMEDRIVER, os.X_OK)):
        print("SKIP: no chromium and chromedriver here (scripts/deps --full installs them)")
        return 77
    pg = PgServer() if on_pg else None
    if pg and not pg.available():
        print("SKIP: PostgreSQL 15 is not installed (%s/initdb; TARVISEL_PG_BIN names another folder):"
              " scripts/deps --full installs postgresql-15" % pg.bin)
        return 77
    work = tempfile.mkdtemp(prefix="tarvisel-serve-browser-")
    children = []
    env = dict(os.environ, TARVISEL_SETTINGS=work + "/settings", XDG_DATA_HOME=work + "/data", NO_COLOR="1")
    env.pop("TARVISEL_STATION_NAME", None)
    env.pop("TARVISEL_RECORD", None)

    def start(args, name, extra_env=None):
        out = open(os.path.join(work, name + ".out"), "w")
        err = open(os.path.join(work, name + ".err"), "w")
        p = subprocess.Popen(args, stdout=out, stderr=err, env=dict(env, **(extra_env or {})))
        children.append(p)
        return p

    driver = None
    try:
        image = work + "/fw.bin"
        sample_image(image)
        record = work + "/record.sqlite"
        # Each station: one handset slow enough to watch, one more; line-b's second stops
        # answering half-way, and its first sits on a link named like markup.
        handsets = {
            "line-a": [("a1", QUICK + "; write-ms=100"), ("a2", QUICK + "; write-ms=5")],
            "line-b": [(HOSTILE, QUICK + "; write-ms=10"), ("b2", QUICK + "; nak=block:5-100000:A1")],
        }
        links = {}
        for station, sims in handsets.items():
            for name, scenario in sims:
                link = os.path.join(work, name)
                links[name] = link
                start([sim, "--scenario", scenario, "--link", link, "--flash-size", "1M"], "sim-" + name.replace("/", "_"))
        for link in links.values():
            for _ in range(200):
                if os.path.exists(link):
                    break
                time.sleep(0.02)
            else:
                fail("a simulated handset did not start")

        if pg:
            shared = pg.start()
            init = subprocess.run([cli, "record", "init", shared], env=env, capture_output=True, text=True)
            if init.returncode != 0:
                fail("record init: " + init.stderr)
            # Each station keeps its own record and sends its rows, and its ports' state, to the
            # shared one; serve reads the shared one.
            station_record = lambda station: ["--history", "%s/%s.sqlite" % (work, station), "--record", shared]
            first = start([cli, "download", image, "--device", links["a1"], "--unit", HOSTILE, "--yes"] +
                          station_record("line-a"), "warm-up", {"TARVISEL_STATION_NAME": "line-a"})
            if first.wait(timeout=120) != 0:
                fail("the first download failed: " + open(os.path.join(work, "warm-up.err")).read())
            record, read_from = pg, ["--record", shared]
        else:
            station_record = lambda station: ["--history", record]
            read_from = ["--history", record]
            seed_sqlite_record(cli, image, links["a1"], record, env, start)

        serve = start([cli, "serve"] + read_from + ["--listen", "127.0.0.1:0"], "serve")
        url = None
        for _ in range(200):
            with open(os.path.join(work, "serve.out")) as f:
                line = f.readline()
            if line.startswith("serving "):
                url = line.split()[1]
                break
            if serve.poll() is not None:
                fail("serve ended: " + open(os.path.join(work, "serve.err")).read())
            time.sleep(0.05)
        if not url:
            fail("serve did not say where it listens")

        port = free_port()
        start([CHROMEDRIVER, "--port=%d" % port], "chromedriver")
        for _ in range(200):
            try:
                urllib.request.urlopen("http://127.0.0.1:%d/status" % port, timeout=1).read()
                break
            except Exception:
                time.sleep(0.05)
        driver = WebDriver(port, tempfile.mkdtemp(dir=work, prefix="profile-"))
        driver.go(url)

        stations = [
            start([cli, "download", image] + sum((["--device", links[n]] for n, _ in sims), []) +
                  station_record(station) + ["--yes"], "station-" + station, {"TARVISEL_STATION_NAME": station})
            for station, sims in handsets.items()]

        since = local_midnight_utc_iso()
        seen_percent = {}
        lag = []          # seconds from a row in the record to the page's count of it
        pending = None    # (count, when the record first held it)
        page = None
        deadline = time.time() + 180
        while time.time() < deadline:
            page = driver.js(READ_PAGE)
            done, failed, _ = record_counts(record, since)
            now = time.time()
            if pending is None or pending[0] != done + failed:
                if pending is not None and pending[0] < done + failed or pending is None:
                    if page["done"] is None or page["done"] + page["failed"] != done + failed:
                        pending = (done + failed, now)
            if pending and page["done"] is not None and page["done"] + page["failed"] >= pending[0]:
                lag.append(now - pending[1])
                pending = None
            for t in page["tiles"]:
                if t["station"] == "line-a" and t["port"] == links["a1"] and t["state"] == "busy" and t["percent"]:
                    seen_percent.setdefault(t["percent"], now)
            if all(p.poll() is not None for p in stations) and pending is None:
                break
            time.sleep(0.1)
        else:
            fail("the stations did not end, or the page did not catch up, within 3 minutes")
        time.sleep(1.5)  # the stations' last live state and their end
        page = driver.js(READ_PAGE)

        if shot:
            driver.screenshot(shot)
        # Both stations, and the tile of the slow handset seen at more than one percentage.
        if sorted(page["stations"]) != ["line-a", "line-b"]:
            fail("stations shown: %r" % page["stations"])
        if len(seen_percent) < 2:
            fail("the slow handset's tile did not move: %r" % seen_percent)
        # Each new row reached the page within 2 s.
        if not lag:
            fail("no row was seen reaching the page")
        if max(lag) > 2.0:
            fail("the page followed the record only after %.2f s" % max(lag))
        # The failure of the last hour, with its reason.
        b2 = [r for r in page["failures"] if r[2] == "b2"]
        if not b2 or not b2[0][5] or b2[0][5] == "b2":
            fail("line-b's failure is not among the last hour's: %r" % page["failures"])
        with urllib.request.urlopen(url + "api/failures") as r:
            api = json.loads(r.read())
        words = [f["outcome_words"] for f in api if f["port"] == links["b2"]]
        if b2[0][5] != words[0] or b2[0][5] == "completed":
            fail("the failure's reason: %r, the API says %r" % (b2[0][5], words))
        # Counts: the page's and the record's.
        done, failed, by_station = record_counts(record, since)
        if (page["done"], page["failed"]) != (done, failed):
            fail("the page counts %r done / %r failed, the record %d / %d" % (page["done"], page["failed"], done, failed))
        for name, d, f, _ in page["byStation"]:
            if by_station.get(name) != [int(d), int(f)]:
                fail("station %s: the page says %s/%s, the record %r" % (name, d, f, by_station.get(name)))
        # Markup in a unit and a device's name: shown as text, nothing made of it.
        if page["images"] != 0 or driver.alert_open():
            fail("text from the record became markup")
        if not any(HOSTILE in row[3] for row in page["latest"]):
            fail("the unit named like markup is not shown as text: %r" % page["latest"])
        if not any(t["name"] == HOSTILE for t in page["tiles"]):
            fail("the device named like markup is not shown as text")
        print("percentages seen on a1: %s" % sorted(seen_percent, key=lambda k: seen_percent[k]))
        print("ok: %d rows, the page %.2f s behind the record at most, the tile seen at %d percentages"
              % (done + failed, max(lag), len(seen_percent)))
        return 0
    finally:
        if driver:
            driver.quit()
        for p in reversed(children):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    p.kill()
        if pg:
            pg.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
