"""A Python host through ctypes, with the declarations the README gives:
texts read as c_char_p (copied into bytes; the library keeps its own),
paths passed as UTF-8 bytes. Runs against the Linux shared library (Python
for Windows does not run here); the declarations are the same for the DLL.

    python3 ctypes_host.py LIBRARY WORK_DIR
"""
import ctypes
import json
import os
import shutil
import sys
import time

# --- as in the README -------------------------------------------------------
lib = ctypes.CDLL(sys.argv[1])
lib.disk_scan.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int]
lib.disk_scan.restype = ctypes.c_int
lib.disk_scan_status.argtypes = [ctypes.c_int]
lib.disk_scan_status.restype = ctypes.c_int
lib.disk_scan_progress.argtypes = [ctypes.c_int] + [ctypes.POINTER(ctypes.c_ulonglong)] * 3
lib.disk_scan_progress.restype = ctypes.c_int
lib.disk_scan_cancel.argtypes = [ctypes.c_int]
lib.disk_scan_cancel.restype = None
lib.disk_free.argtypes = [ctypes.c_int]
lib.disk_free.restype = None
for name in ("disk_scan_result", "disk_get_extensions", "disk_get_problems"):
    getattr(lib, name).argtypes = [ctypes.c_int]
    getattr(lib, name).restype = ctypes.c_char_p
lib.disk_get_top.argtypes = [ctypes.c_int, ctypes.c_int]
lib.disk_get_top.restype = ctypes.c_char_p


class DiskEntry(ctypes.Structure):
    _fields_ = [("struct_size", ctypes.c_uint), ("name_len", ctypes.c_uint),
                ("name", ctypes.POINTER(ctypes.c_char)), ("is_dir", ctypes.c_int),
                ("state", ctypes.c_int), ("error", ctypes.c_int), ("nlink", ctypes.c_uint)] + [
                   (n, ctypes.c_ulonglong) for n in
                   ("size", "files", "dirs", "apparent_size", "disk_size", "dev", "ino")] + [
                   ("fields", ctypes.c_uint), ("uid", ctypes.c_uint), ("mtime", ctypes.c_longlong),
                   ("gid", ctypes.c_uint), ("mode", ctypes.c_uint)]


VISIT_FN = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(DiskEntry))
lib.disk_visit.argtypes = [ctypes.c_int, VISIT_FN, ctypes.c_void_p]
lib.disk_visit.restype = ctypes.c_int
lib.disk_import_begin.argtypes = [ctypes.c_char_p, ctypes.c_void_p]
lib.disk_import_begin.restype = ctypes.c_int
lib.disk_import_entry.argtypes = [ctypes.c_int, ctypes.POINTER(DiskEntry)]
lib.disk_import_entry.restype = ctypes.c_int
lib.disk_import_end.argtypes = [ctypes.c_int]
lib.disk_import_end.restype = ctypes.c_int
# -----------------------------------------------------------------------------

work = sys.argv[2]
shutil.rmtree(work, ignore_errors=True)
root = os.path.join(work, "donn\u00e9es \U0001F5C2")
os.makedirs(os.path.join(root, "sub"))
with open(os.path.join(root, "caf\u00e9.txt"), "wb") as f:
    f.write(b"x" * 300)
with open(os.path.join(root, "sub", "\u65e5\u672c.bin"), "wb") as f:
    f.write(b"y" * 20)

failures = []


def check(what, ok):
    if not ok:
        failures.append(what)


scan_id = lib.disk_scan(root.encode("utf-8"), 0, 0)
check("disk_scan gave an id", 0 <= scan_id < 32)
state = lib.disk_scan_status(scan_id)
for _ in range(6000):
    if state not in (0, 1):
        break
    time.sleep(0.01)
    state = lib.disk_scan_status(scan_id)
check("scan done", state == 2)
files, dirs, size = ctypes.c_ulonglong(), ctypes.c_ulonglong(), ctypes.c_ulonglong()
check("progress", lib.disk_scan_progress(scan_id, ctypes.byref(files), ctypes.byref(dirs), ctypes.byref(size)) == 2)
check("counts", (files.value, dirs.value, size.value) == (2, 1, 320))

tree = json.loads(lib.disk_scan_result(scan_id).decode("utf-8"))
check("tree path is the root as given", tree["path"] == root)
check("tree names", sorted(c["name"] for c in tree["children"]) == ["caf\u00e9.txt", "sub"])
top = json.loads(lib.disk_get_top(scan_id, 1).decode("utf-8"))
check("largest file", top == [{"path": root + "/caf\u00e9.txt", "size": 300}])
ext = json.loads(lib.disk_get_extensions(scan_id).decode("utf-8"))
check("extensions", [e["ext"] for e in ext] == [".txt", ".bin"])
check("no problems", json.loads(lib.disk_get_problems(scan_id).decode("utf-8")) == [])

# The scan entry by entry, and fed back as a scan of its own.
check("disk_entry is laid out as the library's", ctypes.sizeof(DiskEntry) == 112)
told = []


def keep(_, entry):
    if not entry:
        told.append(None)
    else:
        e = entry.contents
        told.append((ctypes.string_at(e.name, e.name_len), e.is_dir, e.size, e.apparent_size))
    return 0


check("visit", lib.disk_visit(scan_id, VISIT_FN(keep), None) == 0)
check("visit tells the root, then each entry", told[0][0] == root.encode("utf-8") and
      sorted(t[0] for t in told[1:] if t) == sorted(n.encode("utf-8") for n in ("caf\u00e9.txt", "sub", "\u65e5\u672c.bin")))
check("a directory's end told once each", told.count(None) == 2)
copy = lib.disk_import_begin(b"/copy", None)
for t in told:
    if t is None:
        check("import end of a directory", lib.disk_import_entry(copy, None) == 0)
        continue
    e = DiskEntry(struct_size=ctypes.sizeof(DiskEntry), name_len=len(t[0]), is_dir=t[1], apparent_size=t[3])
    e.name = ctypes.cast(ctypes.c_char_p(t[0]), ctypes.POINTER(ctypes.c_char))
    check("import entry", lib.disk_import_entry(copy, ctypes.byref(e)) == 0)
check("import ends done", lib.disk_import_end(copy) == 0)
check("the import's total", json.loads(lib.disk_scan_result(copy).decode("utf-8"))["total_size"] == 320)
lib.disk_free(copy)
lib.disk_free(scan_id)
check("freed", lib.disk_scan_status(scan_id) == -1)
check("no document once freed", lib.disk_scan_result(scan_id) is None)
check("unknown id", lib.disk_get_top(32, 5) is None and lib.disk_scan_status(-1) == -1)

shutil.rmtree(work, ignore_errors=True)
if failures:
    print("ctypes host failed:", ", ".join(failures))
    sys.exit(1)
print("ctypes host: scan, documents, a visit, an import and free through the README's declarations")
