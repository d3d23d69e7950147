#!/usr/bin/env python3
"""Makes a "changed" copy of a saved scan, as if the tree had been scanned
again later: about 1 file in 50 grows, 1 in 200 shrinks, 1 in 500 is gone,
1 directory in 100 gains a new file, a few directories move. Directory
totals are summed again so the copy reads as a real scan.
    perturb_scan.py OLD.json NEW.json [--seed N]"""
import json, random, sys

sys.setrecursionlimit(1000000)

src, dst = sys.argv[1], sys.argv[2]
rng = random.Random(int(sys.argv[4]) if len(sys.argv) > 4 else 1)
doc = json.load(open(src))


def change(entries):
    out = []
    for e in entries:
        if e["is_dir"]:
            kids = change(e.get("children", []))
            if rng.random() < 0.01:
                kids.append({"name": "added-%d.bin" % rng.randrange(10**9), "size": rng.randrange(1, 10**7),
                             "files": 1, "is_dir": False})
            if rng.random() < 0.002:
                e["name"] += ".moved"
            e["children"] = kids
            e["size"] = sum(k["size"] for k in kids)
            e["files"] = sum(k["files"] for k in kids)
            if not kids:
                del e["children"]
            out.append(e)
            continue
        r = rng.random()
        if r < 0.002:
            continue
        if r < 0.022:
            e["size"] += rng.randrange(1, 10**6)
        elif r < 0.027:
            e["size"] //= 2
        out.append(e)
    out.sort(key=lambda e: (-e["size"], e["name"]))
    return out


kids = change(doc.get("children", []))
doc["children"] = kids
doc["total_size"] = sum(k["size"] for k in kids)
doc["total_files"] = sum(k["files"] for k in kids)
with open(dst, "w") as f:
    json.dump(doc, f, separators=(",", ":"), ensure_ascii=False)
