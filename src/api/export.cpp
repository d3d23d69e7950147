// The exports: one-time initialisation, then the scanner and the documents.
#include "quorvel_disk.h"

#include <cstddef>
#include <cstring>

#include "documents.h"
#include "host_options.h"
#include "platform.h"
#include "scanner.h"
#include "visit.h"

// Initialises the slot table exactly once, even when two threads make the
// first call at the same time. Not a function-local static: on Windows its
// guard would bring in winpthreads, which takes a TLS slot that an unload
// never gives back.
static qv_once s_initialized = QV_ONCE_INIT;

static void ensure_init() { qv_once_run(&s_initialized, qv_scanner_init); }

static scan_slot *done_slot(int id)
{
    scan_slot *slot = qv_scanner_slot(id);
    if (!slot || slot->state.load() != SCAN_DONE)
        return nullptr;
    return slot;
}

extern "C" {

QV_API int disk_scan(const char *path, int max_depth, int follow_links)
{
    disk_scan_options o{};
    o.struct_size = sizeof o;
    o.max_depth = max_depth;
    o.follow_links = follow_links;
    return disk_scan_ex(path, &o);
}

QV_API int disk_scan_ex(const char *path, const disk_scan_options *opts)
{
    ensure_init();
    qv_options o;
    if (qv_options_from_host(&o, path, opts) != 0)
        return -1;
    return qv_scanner_scan_async(&o, nullptr);
}

QV_API int disk_scan_get_options(int id, disk_scan_options *out)
{
    ensure_init();
    scan_slot *slot = qv_scanner_slot(id);
    if (!slot || !out || out->struct_size < sizeof(out->struct_size))
        return -1;
    qv_options_to_host(&slot->opts, out);
    return 0;
}

QV_API int disk_scan_status(int id)
{
    ensure_init();
    return qv_scanner_get_state(id);
}

QV_API void disk_scan_cancel(int id)
{
    ensure_init();
    qv_scanner_cancel(id);
}

QV_API void disk_free(int id)
{
    ensure_init();
    qv_scanner_free(id);
}

QV_API int disk_scan_progress(int id, unsigned long long *files, unsigned long long *dirs,
                              unsigned long long *bytes)
{
    ensure_init();
    scan_slot *slot = qv_scanner_slot(id);
    if (!slot)
        return -1;
    uint64_t f = 0, d = 0, b = 0;
    int32_t state = qv_scanner_get_progress(id, &f, &d, &b);
    if (files)
        *files = f;
    if (dirs)
        *dirs = d;
    if (bytes)
        *bytes = b;
    return state;
}

QV_API int disk_scan_problems(int id, disk_problems *out)
{
    ensure_init();
    if (!out || out->struct_size < offsetof(disk_problems, root_error) + sizeof(out->root_error))
        return -1;
    qv_scan_problems p;
    int32_t state = qv_scanner_get_problems(id, &p);
    if (state == -1 && !qv_scanner_slot(id))
        return -1;
    // Only the members that fit wholly in the caller's struct are written.
#define PUT_MEMBER(m, v)                                                 \
    if (offsetof(disk_problems, m) + sizeof(out->m) <= out->struct_size) \
        out->m = (v);
    PUT_MEMBER(root_error, p.root_error)
    PUT_MEMBER(unreadable_dirs, p.unreadable_dirs)
    PUT_MEMBER(skipped_entries, p.skipped_entries)
    PUT_MEMBER(loop_dirs, p.loop_dirs)
    PUT_MEMBER(pseudo_fs_dirs, p.pseudo_fs_dirs)
    PUT_MEMBER(stalled_dirs, p.stalled_dirs)
#undef PUT_MEMBER
    return state;
}

QV_API const char *disk_get_problems(int id)
{
    ensure_init();
    scan_slot *slot = done_slot(id);
    return slot ? qv_doc_problems(slot) : nullptr;
}

QV_API const char *disk_scan_result(int id)
{
    ensure_init();
    scan_slot *slot = done_slot(id);
    return slot ? qv_doc_scan_result(slot) : nullptr;
}

QV_API const char *disk_get_top(int id, int n)
{
    ensure_init();
    scan_slot *slot = done_slot(id);
    return slot ? qv_doc_top(slot, n) : nullptr;
}

QV_API const char *disk_get_extensions(int id)
{
    ensure_init();
    scan_slot *slot = done_slot(id);
    return slot ? qv_doc_extensions(slot) : nullptr;
}

QV_API const char *disk_get_dir(int id, const char *path, int levels)
{
    ensure_init();
    scan_slot *slot = done_slot(id);
    return slot ? qv_doc_dir(slot, path, levels) : nullptr;
}

QV_API int disk_visit(int id, disk_visit_fn fn, void *ctx)
{
    ensure_init();
    scan_slot *slot = done_slot(id);
    return slot && fn ? qv_visit(slot, fn, ctx) : -1;
}

QV_API int disk_import_begin(const char *path, const disk_scan_options *opts)
{
    ensure_init();
    qv_options o;
    if (qv_options_from_host(&o, path, opts) != 0)
        return -1;
    return qv_scanner_claim(&o);
}

QV_API int disk_import_entry(int id, const disk_entry *entry)
{
    ensure_init();
    return qv_import_entry(id, entry);
}

QV_API int disk_import_end(int id)
{
    ensure_init();
    return qv_import_end(id);
}

}  // extern "C"
