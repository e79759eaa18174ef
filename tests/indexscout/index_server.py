#!/usr/bin/python3
"""Local package index for the indexscout tests (Python standard library only).

One server holds several indexes, each under its own path prefix:

    /<index>/simple/<project>/          project page: PEP 691 JSON when asked for (Accept),
                                        else PEP 503 HTML ("html" indexes always answer HTML)
    /<index>/pypi/<project>/json        JSON API: project document
    /<index>/pypi/<project>/<ver>/json  JSON API: release document
    /<index>/files/<file>               wheels (built on request) and source archives
    /<index>/files/<file>.metadata      core metadata, where the index advertises it

The index "packages" holds projects that really install (see PACKAGES): wheels with a module of
their own, and source archives whose setup.py runs when pip builds them.

Control paths: /_requests (JSON list of the paths requested since the last reset) and
/_reset. Binds 127.0.0.1 on a free port, prints "PORT <n>" when ready and exits when its
standard input closes.
"""
import gzip
import hashlib
import io
import json
import re
import sys
import tarfile
import threading
import time
import zipfile
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import unquote, urlsplit

DEMO = {
    "1.0": ["requests>=2.0", "pytest ; extra == 'test'", "pytest-cov ; extra == 'test'",
            "sphinx ; extra == \"docs\""],
    "2.0rc1": [],
    "10.0": ["numpy>=1.20", "pandas[excel, sql] (>=2.0) ; python_version >= '3.8'",
             "pytest ; extra == 'alpha'", "coverage ; extra == 'alpha'", "black ; extra == 'Dev'",
             "isort ; extra== 'lint'", "flake8 ; extra=='style'", "(broken requirement"],
    "banana": [],
}

# index -> project (normalised name) -> version -> Requires-Dist (None: no requirements at all)
PROJECTS = {
    "main": {
        "demo": DEMO,
        "nulldeps": {"1.0": None},
        "mixed-case-name": {"3.1": ["six"]},
        "badshape": {"1.0": ["six"]},
        "notjson": {"1.0": []},
        "broken": {"1.0": []},
        "slow": {"1.0": []},
    },
    "second": {
        "demo": {"99.0": ["other"]},
        "onlysecond": {"0.1": ["six ; extra == 'fast'"], "0.2": ["six"]},
    },
    "third": {
        "onlythird": {"5.0": ["attrs"]},
        "onlysecond": {"7.0": []},
    },
    # Simple indexes without a JSON API, read through the locator.
    "simple": {
        "demo": DEMO,
        "tampered": {"1.0": ["six ; extra == 'x'"]},
    },
    "html": {
        "demo": DEMO,
    },
}

# Projects that pip installs, for the package manager tests: index "packages".
# version -> {"requires": [...], "module": text of <project>/__init__.py} for a wheel, or
# {"requires": [...], "setup": code run before setup() by every build step but "egg_info"} for a
# source archive only (no wheel). "escape" adds a wheel member outside the install folder, which
# installers refuse (an install that always fails while its metadata reads fine).
NEEDS_BUILDDEP = "import builddep  # the build needs its dependency on the import path\n"
SLOW_BUILD = """import os, time
pid_file = os.environ.get("SLOWBUILD_PID_FILE")
if pid_file:
    with open(pid_file, "w") as f:
        f.write(str(os.getpid()))
time.sleep(120)
"""
PACKAGES = {
    "plainpkg": {"1.0": {"module": "VALUE = 'plain 1.0'\n"}, "2.0": {"module": "VALUE = 'plain 2.0'\n"}},
    "withdep": {"1.0": {"requires": ["plainpkg>=1.0"],
                        "module": "import plainpkg\nVALUE = 'withdep on ' + plainpkg.VALUE\n"}},
    "needsplain2": {"1.0": {"requires": ["plainpkg>=2.0"], "module": ""}},
    "extrapkg": {"1.0": {"requires": ["extradep ; extra == 'more'"], "module": "VALUE = 'extrapkg'\n"}},
    "extradep": {"1.0": {"module": "VALUE = 'extradep'\n"}},
    "builddep": {"1.0": {"module": "VALUE = 'builddep'\n"}},
    "needsdep": {"1.0": {"requires": ["builddep"], "setup": NEEDS_BUILDDEP}},
    "usesneedsdep": {"1.0": {"requires": ["needsdep"], "module": "VALUE = 'usesneedsdep'\n"}},
    "neverinstalls": {"1.0": {"module": "", "escape": True}},
    "neverdep": {"1.0": {"module": "", "escape": True}},
    "usesnever": {"1.0": {"requires": ["neverdep"], "module": "VALUE = 'usesnever'\n"}},
    "slowbuild": {"1.0": {"setup": SLOW_BUILD}},
    "fromenv": {"1.0": {"module": "VALUE = 'fromenv from the index'\n"}},
}
PROJECTS["packages"] = {name: {v: spec.get("requires", []) for v, spec in versions.items()}
                        for name, versions in PACKAGES.items()}

# Files left out of the simple pages: (index, project, version) -> kinds that exist.
ONLY_SDIST = {("simple", "demo", "2.0rc1"), ("html", "demo", "2.0rc1"), ("simple", "demo", "banana"),
              ("html", "demo", "banana")}
ONLY_SDIST |= {("packages", p, v) for p, versions in PACKAGES.items() for v, spec in versions.items()
               if "setup" in spec}
# Indexes that advertise .metadata files, and how.
METADATA_STYLE = {"simple": "core", "html": None}
HTML_ONLY = {"html"}

_requests = []
_lock = threading.Lock()


def normalize(name):
    return re.sub(r"[-_.]+", "-", name).lower()


def metadata_text(project, version, requires, provides_extras=False):
    lines = ["Metadata-Version: 2.1", f"Name: {project}", f"Version: {version}"]
    if provides_extras:  # what installers check a requested extra against
        for r in requires or []:
            lines += [f"Provides-Extra: {e}" for e in re.findall(r"extra\s*==\s*['\"]([^'\"]+)['\"]", r)]
    lines += [f"Requires-Dist: {r}" for r in (requires or [])]
    return "\n".join(lines) + "\n\nLong description.\n"


def wheel_bytes(project, version, requires, module=None, escape=False):
    buf = io.BytesIO()
    dist_info = f"{project.replace('-', '_')}-{version}.dist-info"
    members = [("../escape.txt", "outside\n")] if escape else []
    members += [
        (f"{project.replace('-', '_')}/__init__.py", module or ""),
        (f"{dist_info}/METADATA", metadata_text(project, version, requires, module is not None)),
        (f"{dist_info}/WHEEL", "Wheel-Version: 1.0\nRoot-Is-Purelib: true\nTag: py3-none-any\n"),
        (f"{dist_info}/RECORD", ""),
    ]
    with zipfile.ZipFile(buf, "w") as z:
        for name, text in members:  # fixed timestamps: the same bytes (and hash) every time
            z.writestr(zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0)), text, zipfile.ZIP_DEFLATED)
    return buf.getvalue()


def sdist_bytes(project, version, index=None):
    spec = PACKAGES.get(project, {}).get(version) if index == "packages" else None
    if spec is None or "setup" not in spec:
        return f"source archive of {project} {version}\n".encode()
    # A real source archive: pip reads its metadata through "setup.py egg_info" (which must not
    # need anything) and runs the build step when it installs it.
    top = f"{project}-{version}"
    setup_py = ("import sys\n"
                "if 'egg_info' not in sys.argv and 'clean' not in sys.argv:\n"
                + "".join("    " + line + "\n" for line in spec["setup"].splitlines())
                + "from setuptools import setup\n"
                f"setup(name={project!r}, version={version!r}, packages=[{project!r}], "
                f"install_requires={spec.get('requires', [])!r})\n")
    members = [(f"{top}/setup.py", setup_py), (f"{top}/{project}/__init__.py", f"VALUE = {project!r}\n"),
               (f"{top}/PKG-INFO", metadata_text(project, version, spec.get("requires")))]
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w") as tar:
        for name, text in members:
            data = text.encode()
            info = tarfile.TarInfo(name)
            info.size, info.mtime, info.mode = len(data), 1577836800, 0o644
            tar.addfile(info, io.BytesIO(data))
    return gzip.compress(buf.getvalue(), mtime=0)  # the same bytes (and hash) every time


def files_of(index, project):
    """(filename, bytes-producing callable, version) for every file of the project."""
    out = []
    for version, requires in PROJECTS[index][project].items():
        out.append((f"{project}-{version}.tar.gz", lambda p=project, v=version: sdist_bytes(p, v, index), version))
        if (index, project, version) not in ONLY_SDIST:
            wheel = f"{project.replace('-', '_')}-{version}-py3-none-any.whl"
            spec = PACKAGES.get(project, {}).get(version, {}) if index == "packages" else {}
            out.append((wheel, lambda p=project, v=version, r=requires, m=spec.get("module"), e=spec.get("escape", False):
                        wheel_bytes(p, v, r, m, e), version))
    return out


def file_body(index, filename):
    for project in PROJECTS.get(index, {}):
        for name, make, version in files_of(index, project):
            if name == filename:
                return make()
            if name + ".metadata" == filename and name.endswith(".whl"):
                return metadata_text(project, version, PROJECTS[index][project][version]).encode()
    return None


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def metadata_hash(index, project, name):
    body = file_body(index, name + ".metadata")
    if project == "tampered":
        return "0" * 64
    return sha256(body)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def send(self, status, body=b"", content_type="text/plain"):
        if isinstance(body, str):
            body = body.encode()
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        path = urlsplit(self.path).path
        with _lock:
            _requests.append(self.path)
        if path == "/_requests":
            with _lock:
                return self.send(200, json.dumps(_requests[:-1]), "application/json")
        if path == "/_reset":
            with _lock:
                _requests.clear()
            return self.send(200, "ok")
        parts = [unquote(p) for p in path.split("/")[1:]]
        if len(parts) < 2:
            return self.send(404, "not found")
        index, kind = parts[0], parts[1]
        if index == "moved":  # the whole index answers with redirects to "main"
            self.send_response(301)
            self.send_header("Location", "/main/" + "/".join(path.split("/")[2:]))
            self.send_header("Content-Length", "0")
            self.end_headers()
            return None
        if index not in PROJECTS:
            return self.send(404, "no such index")
        if kind == "pypi":
            return self.api(index, parts[2:])
        if kind == "simple":
            return self.simple(index, parts[2:])
        if kind == "files" and len(parts) == 3:
            body = file_body(index, parts[2])
            if body is None:
                return self.send(404, "no such file")
            return self.send(200, body, "application/octet-stream")
        return self.send(404, "not found")

    def api(self, index, rest):
        if not rest or rest[-1] != "json" or len(rest) not in (2, 3):
            return self.send(404, "not found")
        project = normalize(rest[0])
        releases = PROJECTS[index].get(project)
        if releases is None:
            return self.send(404, json.dumps({"message": "Not Found"}), "application/json")
        if project == "broken":
            return self.send(500, "internal error")
        if project == "slow":
            time.sleep(2)
        if project == "notjson":
            return self.send(200, "<html>this is not JSON</html>", "application/json")
        if len(rest) == 2:
            latest = list(releases)[-1]
            doc = {"info": {"name": rest[0], "version": latest, "requires_dist": releases[latest]},
                   "releases": {v: [] for v in releases}}
        else:
            version = rest[1]
            if version not in releases:
                return self.send(404, json.dumps({"message": "Not Found"}), "application/json")
            info = {"name": rest[0], "version": version, "requires_dist": releases[version]}
            doc = {"info": [info] if project == "badshape" else info, "urls": []}
        return self.send(200, json.dumps(doc), "application/json")

    def simple(self, index, rest):
        if len(rest) < 1 or not rest[0]:
            return self.send(404, "not found")
        project = rest[0]
        if project != normalize(project) or project not in PROJECTS[index]:
            return self.send(404, "not found")
        style = METADATA_STYLE.get(index)
        files = files_of(index, project)
        wants_json = "application/vnd.pypi.simple.v1+json" in self.headers.get("Accept", "")
        if wants_json and index not in HTML_ONLY:
            entries = []
            for name, make, _ in files:
                entry = {"filename": name, "url": f"../../files/{name}", "hashes": {"sha256": sha256(make())}}
                if style and name.endswith(".whl"):
                    entry["core-metadata"] = {"sha256": metadata_hash(index, project, name)}
                entries.append(entry)
            doc = {"meta": {"api-version": "1.0"}, "name": project, "files": entries}
            return self.send(200, json.dumps(doc), "application/vnd.pypi.simple.v1+json")
        links = []
        for name, make, _ in files:
            attrs = ""
            if style and name.endswith(".whl"):
                attrs = f' data-dist-info-metadata="sha256={metadata_hash(index, project, name)}"'
            links.append(f'<a href="files/{name}#sha256={sha256(make())}"{attrs}>{name}</a><br/>')
        html = ("<!DOCTYPE html><html><head><title>Links for {p}</title>"
                '<base href="/{i}/"></head><body><h1>Links for {p}</h1>{links}</body></html>').format(
            p=project, i=index, links="\n".join(links))
        return self.send(200, html, "text/html")


def main():
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print(f"PORT {server.server_address[1]}", flush=True)
    try:
        sys.stdin.read()
    except KeyboardInterrupt:
        pass
    server.shutdown()


if __name__ == "__main__":
    main()
