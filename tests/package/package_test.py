#!/usr/bin/env python3
"""The Debian package as a station's IT meets it: built by scripts/package.sh
(dpkg-buildpackage), checked by lintian and appstreamcli, installed with apt,
started as /usr/bin/tambrel by an account of its own (a fresh HOME: the test
runs as root on CI, and a real account would outlive the test), heard on a
private PulseAudio's sink, upgraded to a later build while it plays on, then
purged. The operator's files come through both, byte for byte.

A tambrel package this test did not install is never upgraded or purged:
the install steps are skipped and said so (a failure with
TAMBREL_SKIP_NOTHING=1).
"""

import glob
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import tempfile
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "e2e"))
import e2e  # noqa: E402
import sound  # noqa: E402
from e2e import expect  # noqa: E402

ROOT = os.path.abspath(os.path.join(here, "..", ".."))
ROOT_CMD = [] if os.geteuid() == 0 else ["sudo"]
APT_ENV = dict(os.environ, DEBIAN_FRONTEND="noninteractive", LC_ALL="C")


def build(out, suffix=""):
    """scripts/package.sh in the background; its .deb's path is its last line."""
    log = open(os.path.join(out, "build%s.log" % suffix), "wb")
    return subprocess.Popen(["bash", os.path.join(ROOT, "scripts", "package.sh")], stdout=log,
                            stderr=subprocess.STDOUT, start_new_session=True,
                            env=dict(os.environ, TAMBREL_PACKAGE_DIR=out,
                                     TAMBREL_VERSION_SUFFIX=suffix))


def built(process, out, suffix=""):
    log = os.path.join(out, "build%s.log" % suffix)
    expect(process.wait(30 * 60) == 0, "package.sh failed:\n" +
           pathlib.Path(log).read_text(errors="replace")[-3000:])
    return pathlib.Path(log).read_text().splitlines()[-1]


def installed_version():
    done = subprocess.run(["dpkg-query", "-W", "-f=${Status} ${Version}", "tambrel"],
                          capture_output=True, text=True)
    return done.stdout.split()[-1] if done.stdout.startswith("install ok installed") else None


def apt(*args):
    done = subprocess.run(ROOT_CMD + ["apt-get", *args], capture_output=True, text=True,
                          env=APT_ENV, timeout=600)
    expect(done.returncode == 0, "apt-get %s: %s" % (" ".join(args), done.stdout + done.stderr))
    return done.stdout


def check(deb):
    lint = subprocess.run(["lintian", "--no-cfg", deb], capture_output=True, text=True)
    told = [line for line in lint.stdout.splitlines() if line[:2] in ("E:", "W:")]
    print("lintian:\n" + (lint.stdout or "(nothing)"), flush=True)
    expect(lint.returncode == 0 and not told, "lintian: %s %s" % (told, lint.stderr))
    with tempfile.TemporaryDirectory() as tree:
        subprocess.run(["dpkg-deb", "-x", deb, tree], check=True)
        [info] = glob.glob(tree + "/usr/share/metainfo/*.metainfo.xml")
        valid = subprocess.run(["appstreamcli", "validate", "--no-net", info],
                               capture_output=True, text=True)
        expect(valid.returncode == 0, "appstreamcli: " + valid.stdout + valid.stderr)
        for path in ("usr/bin/tambrel", "usr/lib/tambrel/Tambrel", "usr/share/man/man1/tambrel.1.gz",
                     "usr/share/man/fr/man1/tambrel.1.gz", "usr/share/doc/tambrel/copyright",
                     "usr/share/applications/tambrel.desktop",
                     "usr/share/icons/hicolor/256x256/apps/tambrel.png"):
            expect(os.path.lexists(os.path.join(tree, path)), "the package lacks /" + path)


def install(deb):
    """apt installs it, once asked what it would remove: nothing, or nothing is done."""
    plan = apt("install", "-s", deb)
    removed = [line for line in plan.splitlines() if line.startswith(("Remv", "Purg"))]
    expect(not removed, "installing %s would remove: %s" % (deb, removed))
    apt("install", "-y", "--no-remove", deb)


def files(folder):
    return {str(p.relative_to(folder)): p.read_bytes()
            for p in pathlib.Path(folder).rglob("*") if p.is_file()}


def scenario(second_build, out):
    session = e2e.Session("/usr/bin/tambrel", 1024, 768)
    try:
        home = session.env["HOME"]
        session.env.pop("XDG_DATA_HOME", None)
        tone = os.path.join(home, "a440.wav")
        sound.write_tone(tone, 440, 3)
        # A copy run.sh installed earlier, whose palette the package's copy takes.
        older = os.path.join(home, ".local", "lib", "tambrel")
        os.makedirs(older)
        pathlib.Path(older, "Matin.Bnk").write_bytes(e2e.palette_bytes([tone.encode()]))
        data = os.path.join(home, ".local", "share", "tambrel")

        program = session.start(data, command="/usr/bin/tambrel")
        expect(os.path.isfile(os.path.join(data, "Matin.Bnk")), "run.sh's palette not copied")
        program.choose(program.palette_list(), "Matin")
        e2e.press_and_expect_440(session, program, "OnAir", "a", "the package's program")
        logs = sound.until(lambda: glob.glob(data + "/Journal/[0-9]*.csv"), 10)
        expect(logs, "no as-run log in " + data)
        time.sleep(1)
        before = files(home)

        install(built(second_build, out, "+test1"))
        expect(installed_version().endswith("+test1"), "not upgraded: %s" % installed_version())
        expect(files(home) == before, "the upgrade changed the operator's files")
        expect(program.process.poll() is None, "the upgrade ended the running copy")
        e2e.press_and_expect_440(session, program, "OnAir", "a", "the copy running on")
        program.kill()

        apt("purge", "-y", "tambrel")
        expect(installed_version() is None, "tambrel still installed after the purge")
        for path in ("/usr/bin/tambrel", "/usr/lib/tambrel"):
            expect(not os.path.lexists(path), path + " outlived the purge")
        for path in (logs[0], os.path.join(data, "Matin.Bnk"), os.path.join(older, "Matin.Bnk")):
            expect(os.path.isfile(path), path + " went with the purge")
    finally:
        session.stop()


def main():
    signal.signal(signal.SIGALRM, lambda *_: sys.exit("the package test ran out of time"))
    signal.alarm(45 * 60)
    began = time.monotonic()
    out = tempfile.mkdtemp(prefix="tambrel-package-")
    already = installed_version()
    deb = built(build(out), out)
    print("built %s (%d kB)" % (deb, os.path.getsize(deb) // 1024), flush=True)
    # Built while the first is checked and heard.
    second = None if already else build(out, "+test1")
    mine = False
    try:
        check(deb)
        if already:
            print("\nSKIPPED: tambrel %s is installed on this machine, not by this test: it is "
                  "neither upgraded nor purged. The install, upgrade and purge were not tested."
                  "\n" % already, flush=True)
            expect(os.environ.get("TAMBREL_SKIP_NOTHING") != "1",
                   "TAMBREL_SKIP_NOTHING=1: the install steps may not be skipped")
            return
        install(deb)
        mine = True
        scenario(second, out)
        mine = False
    finally:
        if second and second.poll() is None:
            os.killpg(second.pid, signal.SIGKILL)  # dpkg-buildpackage and the compilers too
            second.wait()
        if mine and installed_version():
            apt("purge", "-y", "tambrel")  # only ever the one this test installed
    shutil.rmtree(out)  # kept, with the build logs, when the test fails
    print("package test passed in %.0f s" % (time.monotonic() - began), flush=True)


if __name__ == "__main__":
    try:
        main()
    except AssertionError as error:
        sys.exit("FAIL package: %s" % error)
