#!/usr/bin/env python3
"""Headless Chromium judges what tamarind-cli writes.

1. Pictures: every file the picture tests write or make (they keep copies
   when TAMARIND_KEEP_PICTURES names a folder), the pictures made for them at
   build time, the shared test pictures and the sample site's are shown in
   one page. Where Chromium shows a picture at
   a size of its own, `tamarind-cli --size` must say that size; where it
   shows one without (an SVG sized by its box), the tool must say "no size".
2. Pages keep their look: the sample site and the pages beside this script,
   rewritten by the tool on a copy, give every img the same box after load,
   1280 and 375 px wide.
3. Pages stop jumping: pictures come from a server on 127.0.0.1 that holds
   them back until the page has been painted; a rewritten page whose
   pictures all got a size shifts by 0, and its original shifted.

One browser, driven over the DevTools protocol on a pipe (no port). Exits
77 (skipped) only where no Chromium is found.
"""
import argparse, fcntl, http.server, json, os, re, select, shutil, subprocess, sys, tempfile
import threading, time, urllib.parse

WIDTHS = (1280, 375)
# Rows where the tool knowingly differs from Chromium today, as a pattern over
# "NAME: CONTENT" (pictures) or the page's path, with the reason. A row whose
# pattern no longer meets a difference fails until it is taken out.
EXPECTED_TO_DIFFER = [
    (r'(width|height)="0(\.\d*)?"', "a side of 0 gets no size; with nothing written it shows the same"),
    (r'="[\d.]+e[mx]"', "em and ex are left to the browser; with nothing written it shows the same"),
    (r"calc\(", "calc() is not read; with nothing written it shows the same"),
    (r"<!--x{100}", "only the first 64 KB of an SVG are read"),
]
# The names of pictures on the web, as servers type them. A file named
# otherwise is not looked into by the tool (it says so), and is not judged.
PICTURE_TYPES = {".gif": "image/gif", ".jpg": "image/jpeg", ".jpeg": "image/jpeg",
                 ".png": "image/png", ".webp": "image/webp", ".bmp": "image/bmp",
                 ".avif": "image/avif", ".svg": "image/svg+xml", ".jxl": "image/jxl",
                 ".ico": "image/x-icon", ".cur": "image/x-icon"}
SVG_NAMESPACE = b'xmlns="http://www.w3.org/2000/svg"'

START = time.time()
TIMEOUT = 180  # seconds for any one answer of the browser, generous for a loaded machine


class Browser:
    """Chromium with the DevTools protocol on fds 3 and 4 (--remote-debugging-pipe)."""

    def __init__(self, exe, profile):
        to_chrome, self._out = os.pipe()
        self._in, from_chrome = os.pipe()

        def fds():  # in the child: the pipe ends on 3 and 4, as Chromium wants them
            a, b = (fcntl.fcntl(fd, fcntl.F_DUPFD, 10) for fd in (to_chrome, from_chrome))
            os.dup2(a, 3)
            os.dup2(b, 4)

        self.log = open(os.path.join(profile, "chromium.log"), "w")
        self.proc = subprocess.Popen(
            [exe, "--headless", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe",
             "--user-data-dir=" + profile, "--no-first-run", "--disable-extensions",
             "--hide-scrollbars", "about:blank"],
            pass_fds=(3, 4), preexec_fn=fds, stdin=subprocess.DEVNULL, stdout=self.log,
            stderr=self.log)
        os.close(to_chrome)
        os.close(from_chrome)
        self._buf, self._id, self.events = b"", 0, []

    def _message(self):
        while b"\0" not in self._buf:
            if not select.select([self._in], [], [], TIMEOUT)[0]:
                raise RuntimeError(f"Chromium gave no answer in {TIMEOUT} s")
            data = os.read(self._in, 1 << 20)
            if not data:
                raise RuntimeError("Chromium ended; see chromium.log")
            self._buf += data
        text, self._buf = self._buf.split(b"\0", 1)
        return json.loads(text)

    def call(self, method, session=None, **params):
        self._id += 1
        message = {"id": self._id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        os.write(self._out, json.dumps(message).encode() + b"\0")
        while True:
            m = self._message()
            if m.get("id") == self._id:
                if "error" in m:
                    raise RuntimeError(f"{method}: {m['error']}")
                return m["result"]
            self.events.append(m)

    def wait_event(self, method):
        while not any(e.get("method") == method for e in self.events):
            self.events.append(self._message())

    def close(self):
        try:
            self.call("Browser.close")
        except (RuntimeError, OSError):
            pass
        try:
            self.proc.wait(30)
        except subprocess.TimeoutExpired:
            self.proc.kill()


class Tab:
    def __init__(self, browser, signal_port):
        self.b = browser
        target = browser.call("Target.createTarget", url="about:blank")["targetId"]
        self.s = browser.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        browser.call("Page.enable", self.s)
        browser.call("Network.enable", self.s)
        browser.call("Network.setCacheDisabled", self.s, cacheDisabled=True)
        # Layout shifts as they are reported, and a word to the server once
        # the page has been painted twice, which lets its pictures go.
        browser.call("Page.addScriptToEvaluateOnNewDocument", self.s, source="""
            window.__shift = 0;
            window.__shifts = new PerformanceObserver(list => {
              for (const e of list.getEntries()) if (!e.hadRecentInput) __shift += e.value; });
            __shifts.observe({type: 'layout-shift', buffered: true});
            const SIGNAL_PORT = %d;
            if (location.protocol === 'http:') requestAnimationFrame(() => requestAnimationFrame(
              () => fetch(`http://127.0.0.1:${SIGNAL_PORT}/`, {mode: 'no-cors'})));""" % signal_port)

    def load(self, url, width):
        self.b.call("Emulation.setDeviceMetricsOverride", self.s, width=width, height=800,
                    deviceScaleFactor=1, mobile=False)
        self.b.events.clear()
        self.b.call("Page.navigate", self.s, url=url)
        self.b.wait_event("Page.loadEventFired")

    def run(self, script):
        """The value of `script` (a function body) once two more frames are painted."""
        expression = ("new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)))"
                      f".then(() => JSON.stringify((() => {{ {script} }})()))")
        result = self.b.call("Runtime.evaluate", self.s, expression=expression,
                             awaitPromise=True, returnByValue=True)
        if "exceptionDetails" in result:
            raise RuntimeError(json.dumps(result["exceptionDetails"]))
        return json.loads(result["result"]["value"])


class QuietServer(http.server.ThreadingHTTPServer):
    def handle_error(self, request, client_address):
        pass  # a request the browser gave up on (a page left while its pictures were held)


class HeldPictures(QuietServer):
    """Serves the folder `root` on 127.0.0.1, a picture only once the page has
    said on the second port (whose connections no held picture can take up)
    that it has been painted, or after 20 s, should a page never paint."""

    def __init__(self):
        self.root, self.painted = None, threading.Event()
        server = self

        class Handler(http.server.SimpleHTTPRequestHandler):
            extensions_map = {**http.server.SimpleHTTPRequestHandler.extensions_map,
                              **PICTURE_TYPES}

            def __init__(self, *a, **k):
                super().__init__(*a, directory=server.root, **k)

            def do_GET(self):
                if self.server is not server:  # the second port: the page was painted
                    server.painted.set()
                    self.send_response(204)
                    self.end_headers()
                    return
                if os.path.splitext(urllib.parse.urlsplit(self.path).path)[1].lower() in PICTURE_TYPES:
                    server.painted.wait(20)
                super().do_GET()

            def end_headers(self):
                self.send_header("Cache-Control", "no-store")
                super().end_headers()

            def log_message(self, *args):
                pass

        super().__init__(("127.0.0.1", 0), Handler)
        self.signal = QuietServer(("127.0.0.1", 0), Handler)
        for s in (self, self.signal):
            s.daemon_threads = True
            threading.Thread(target=s.serve_forever, daemon=True).start()

    def close(self):
        for s in (self, self.signal):
            s.shutdown()
            s.server_close()


def find_chromium():
    for name in (os.environ.get("CHROMIUM", ""), "chromium", "chromium-browser", "google-chrome"):
        if name and shutil.which(name):
            return shutil.which(name)
    return None


def sizes_of(cli, files):
    out = subprocess.run([cli, "--size", "--"] + files, capture_output=True, text=True).stdout
    lines = out.splitlines()
    if len(lines) != len(files):
        raise RuntimeError(f"tamarind-cli --size gave {len(lines)} lines for {len(files)} files")
    return ["no size" if line[len(f) + 2:].startswith("no size") else line[len(f) + 2:]
            for f, line in zip(files, lines)]


def label(path):
    """The picture's name, and for a text file (SVG) its first bytes."""
    name = os.path.basename(path)
    with open(path, "rb") as f:
        head = f.read(200)
    if name.lower().endswith(".svg"):
        text = re.sub(rb"\s+", b" ", head).decode("utf-8", "replace").strip()
        name = f"{name}: {text[:120]}"
    if "/keep/" in path:  # KEEP/TEST/PID-N/NAME: named by its test
        return path[path.index("/keep/") + 6:].split("/")[0] + ": " + name
    return name


class Verdicts:
    def __init__(self):
        self.failures, self.known_seen = [], set()

    def differ(self, key, message):
        for i, (pattern, reason) in enumerate(EXPECTED_TO_DIFFER):
            if re.search(pattern, key):
                self.known_seen.add(i)
                print(f"  expected to differ ({reason}): {message}")
                return
        self.failures.append(message)


def picture_files(args, work):
    keep = os.path.join(work, "keep")
    for test in args.picture_tests:
        env = dict(os.environ, TAMARIND_KEEP_PICTURES=os.path.join(keep, os.path.basename(test)))
        subprocess.run([test], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    files, seen = [], set()
    for top in [keep, args.testdata, args.site] + args.pictures:
        for root, _, names in sorted(os.walk(top)):
            for name in sorted(names):
                path = os.path.join(root, name)
                with open(path, "rb") as f:
                    data = f.read()
                # Once each: the same bytes under the same extension read alike.
                kind = (os.path.splitext(name)[1].lower(), data)
                if top != keep and not name.lower().endswith(tuple(PICTURE_TYPES)) or kind in seen:
                    continue
                seen.add(kind)
                files.append(path)
                if name.lower().endswith(".svg") and SVG_NAMESPACE not in data:
                    # Without its namespace a browser shows no SVG at all; with it, what the
                    # rest of the file says.
                    named = re.sub(rb"<svg(?=[\s/>])", b"<svg " + SVG_NAMESPACE, data, count=1)
                    if not re.search(rb"</svg|/>\s*$", named):
                        named += b"</svg>"
                    if named != data:
                        os.makedirs(os.path.join(work, "named"), exist_ok=True)
                        files.append(os.path.join(work, "named", f"{len(files)}-{name}"))
                        with open(files[-1], "wb") as f:
                            f.write(named)
    return files


def check_pictures(tab, args, work, verdicts):
    files = picture_files(args, work)
    rows = "".join(f'<div><img src="{urllib.parse.quote(f)}" onerror="this.dataset.broken=1"></div>'
                   f'<div class=h><img src="{urllib.parse.quote(f)}"></div>' for f in files)
    page = os.path.join(work, "pictures.html")
    with open(page, "w") as f:
        f.write("<!doctype html><style>div { width: 1111px } .h img { height: 37px }</style>" + rows)
    print(f"  {time.time() - START:.1f} s: {len(files)} pictures made")
    tab.load("file://" + urllib.parse.quote(page), 1280)
    print(f"  {time.time() - START:.1f} s: shown")
    shown = tab.run("""const im = [...document.images], out = [];
        for (let k = 0; k < im.length; k += 2) {
          const a = im[k], b = a.getBoundingClientRect(), h = im[k + 1].getBoundingClientRect();
          out.push([a.naturalWidth, a.naturalHeight, b.width, b.height, h.width, !!a.dataset.broken]);
        }
        return out;""")
    tool = sizes_of(args.cli, files)
    print(f"  {time.time() - START:.1f} s: measured")
    undecoded, unnamed = [], []
    for path, (nw, nh, bw, bh, hw, broken), said in zip(files, shown, tool):
        # A size of its own: shown at its natural size, and in its proportions
        # when only the height is set. Otherwise the box decides.
        own = abs(bw - nw) < 1 and abs(bh - nh) < 1 and (bh == 0 and bw == 0 or
                                                         bh and abs(hw - 37 * bw / bh) < 1)
        key = label(path)
        if not path.lower().endswith(tuple(PICTURE_TYPES)):
            unnamed.append(key)
            continue
        if broken:
            if said != "no size":
                undecoded.append(f"{key} ({said})")
            continue
        chromium = f"{nw}x{nh}" if own else "no size"
        if chromium != said:
            verdicts.differ(key, f"{key}: Chromium {chromium}, tamarind-cli {said}")
    print(f"pictures: {len(files)} files, {len(files) - len(undecoded) - len(unnamed)} judged")
    if unnamed:
        print(f"  not judged, named as no picture: {', '.join(unnamed)}")
    if undecoded:
        print(f"  Chromium shows no picture at all for {len(undecoded)} files the tool gives a size "
              "from the header (no picture data, or too large to decode); not judged:")
        for line in undecoded:
            print("    " + line)


def page_state(tab):
    return tab.run("""return {
        boxes: [...document.images].map(i => { const r = i.getBoundingClientRect();
          return [r.x + scrollX, r.y + scrollY, r.width, r.height]; }),
        sized: [...document.images].every(i => i.hasAttribute('width') && i.hasAttribute('height')),
        shift: __shift + __shifts.takeRecords().reduce((s, e) => s + e.value, 0)};""")


def check_pages(tab, server, args, work, verdicts):
    pages = []
    for side in ("before", "after"):
        shutil.copytree(args.site, os.path.join(work, side, "site"))
        shutil.copytree(args.pages, os.path.join(work, side, "pages"))
        os.symlink(args.testdata, os.path.join(work, side, "pages", "shared"))
    after = os.path.join(work, "after")
    for cmd in (["-B", "-R", "-r", after + "/site", after + "/site"], ["-B", "-R", after + "/pages"]):
        run = subprocess.run([args.cli] + cmd, capture_output=True, text=True)
        said = (run.stdout + run.stderr).strip().replace(work + "/", "").replace("\n", "; ")
        print("tamarind-cli " + " ".join(cmd).replace(work + "/", "") + ": " + said)
        if run.returncode != 0:
            verdicts.failures.append(f"tamarind-cli {' '.join(cmd)} ended with {run.returncode}")
    for top in ("site", "pages"):
        for root, _, names in sorted(os.walk(os.path.join(work, "before", top))):
            pages += [os.path.relpath(os.path.join(root, n), os.path.join(work, "before"))
                      for n in sorted(names) if n.endswith(".html")]
    for page in pages:
        top, rest = page.split("/", 1)
        for width in WIDTHS:
            state = {}
            for side in ("before", "after"):
                server.root = os.path.join(work, side, top)  # a site's "/" is its folder
                server.painted.clear()
                tab.load(f"http://127.0.0.1:{server.server_address[1]}/{rest}", width)
                state[side] = page_state(tab)
            judge_page(page, width, state["before"], state["after"], verdicts)


def judge_page(page, width, before, after, verdicts):
    key = f"{page} at {width} px"
    # Written sizes are whole pixels: a browser's fractional size (a side in
    # proportion, millimetres) may round by up to half a pixel, and what
    # follows it move by as much.
    moved = [f"img {i + 1}: {b} -> {a}" for i, (b, a) in
             enumerate(zip(before["boxes"], after["boxes"]))
             if any(abs(x - y) > (0.5 if k >= 2 else 1) for k, (x, y) in enumerate(zip(b, a)))]
    if len(before["boxes"]) != len(after["boxes"]):
        moved.append(f"{len(before['boxes'])} imgs before, {len(after['boxes'])} after")
    jump = after["sized"] and after["shift"] > 0
    still = after["sized"] and not before["sized"] and before["shift"] == 0
    print(f"{key}: {len(after['boxes'])} imgs, layout shift {before['shift']:.4f} before, "
          f"{after['shift']:.4f} after" + ("" if after["sized"] else " (not every img got a size)"))
    if moved:
        verdicts.differ(key, f"{key}: boxes changed after the rewrite ([x, y, width, height]): "
                        + "; ".join(moved))
    elif jump or still:
        verdicts.differ(key, f"{key}: layout shift {after['shift']} after the rewrite, "
                        f"{before['shift']} before (0 after, more before, expected)")


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--cli", required=True)
    p.add_argument("--testdata", required=True)
    p.add_argument("--site", required=True)
    p.add_argument("--pages", required=True)
    p.add_argument("--pictures", action="append", default=[], help="a folder of pictures")
    p.add_argument("picture_tests", nargs="*", help="test programs whose pictures are judged")
    args = p.parse_args()
    for name in ("cli", "testdata", "site", "pages"):  # the page names pictures by full path
        setattr(args, name, os.path.abspath(getattr(args, name)))
    args.pictures = [os.path.abspath(d) for d in args.pictures]
    exe = find_chromium()
    if not exe:
        print("skipped: no Chromium found (Debian's chromium; or set CHROMIUM)")
        return 77
    verdicts = Verdicts()
    with tempfile.TemporaryDirectory(prefix="tamarind-browser-") as work:
        profile = os.path.join(work, "profile")
        os.mkdir(profile)
        browser = Browser(exe, profile)
        try:
            print("browser: " + browser.call("Browser.getVersion")["product"])
            server = HeldPictures()
            tab = Tab(browser, server.signal.server_address[1])
            check_pictures(tab, args, work, verdicts)
            check_pages(tab, server, args, work, verdicts)
        finally:
            browser.close()
            server.close()
    for i, (pattern, reason) in enumerate(EXPECTED_TO_DIFFER):
        if i not in verdicts.known_seen:
            verdicts.failures.append(f"EXPECTED_TO_DIFFER row {pattern!r} ({reason}) matched "
                                     "no difference; take it out")
    for failure in verdicts.failures:
        print("FAIL " + failure)
    print(f"{len(verdicts.failures)} disagreements with Chromium")
    return 1 if verdicts.failures else 0


if __name__ == "__main__":
    sys.exit(main())
