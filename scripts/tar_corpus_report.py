#!/usr/bin/env python3
"""Prints what a brenmoor build makes of every TAR file of the shared corpus.

    scripts/tar_corpus_report.py [BRENMOOR] [CORPUS] > report.txt

For each file: the listing (name and size of every member, then how the
listing ended) and, for each member path listed, the SHA-256 of the bytes
`cat` gives or the error it reports. Two builds' reports compare with diff.
BRENMOOR defaults to build/brenmoor, CORPUS to ../shared/corpus/fetched
beside the checkout.
"""
import hashlib
import json
import os
import subprocess
import sys

here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
program = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "build", "brenmoor")
corpus = sys.argv[2] if len(sys.argv) > 2 else os.path.join(here, "..", "shared", "corpus",
                                                            "fetched")
if not os.path.isdir(corpus):
    sys.exit("the shared corpus is not present at " + corpus)


def run(*args):
    done = subprocess.run([program, "-q", *args], capture_output=True)
    error = done.stderr.decode("utf-8", "replace").strip().replace("\n", " / ")
    return done.returncode, done.stdout, error


def error_text(error):
    # "brenmoor: <path>: <message>": the path is known, keep the message.
    return error.rsplit(": ", 1)[-1] if error else ""


files = []
for root, _, names in os.walk(corpus):
    files += [os.path.join(root, n) for n in names if n.endswith(".tar")]
for path in sorted(files):
    print("archive", os.path.relpath(path, corpus))
    status, out, error = run("list", "--json", path)
    members = [json.loads(line) for line in out.decode("utf-8").splitlines()]
    for m in members:
        name = m["member"].encode("utf-8", "surrogateescape")
        print("  member", repr(name)[2:-1], m["size"])
    print("  list", status, error_text(error))
    seen = set()
    for m in members:
        if m["path"] in seen:
            continue
        seen.add(m["path"])
        status, out, error = run("cat", m["path"])
        outcome = hashlib.sha256(out).hexdigest()[:16] + " %d" % len(out) if status == 0 else (
            "error " + error_text(error))
        name = m["member"].encode("utf-8", "surrogateescape")
        print("  cat", repr(name)[2:-1], outcome)
