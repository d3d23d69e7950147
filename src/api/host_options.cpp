// The options of disk_scan_ex: what a host may pass, and the one form the
// library keeps them in.
#include "host_options.h"

#include <cstring>

#include "platform.h"

static char *copy_text(const char *s)
{
    size_t n = strlen(s) + 1;
    auto *c = static_cast<char *>(malloc(n));
    if (c)
        memcpy(c, s, n);
    return c;
}

// The host's struct as this library knows it: members past its struct_size
// are taken as 0, so hosts built against an older header keep working.
static bool read_asked(const disk_scan_options *opts, disk_scan_options *asked)
{
    *asked = disk_scan_options{};
    if (!opts)
        return true;
    if (opts->struct_size < sizeof(opts->struct_size))
        return false;
    memcpy(asked, opts, opts->struct_size < sizeof *asked ? opts->struct_size : sizeof *asked);
    if (asked->size_kind != DISK_SIZE_APPARENT && asked->size_kind != DISK_SIZE_ON_DISK)
        return false;
    if (asked->exclude_count < 0 || (asked->exclude_count > 0 && !asked->excludes))
        return false;
    for (int i = 0; i < asked->exclude_count; i++)
        if (!asked->excludes[i])
            return false;
    return true;
}

// One spelling of each choice, which is also what the host reads back.
static void settle(disk_scan_options *a)
{
    a->struct_size = sizeof *a;
    a->follow_links = a->follow_links != 0;
    a->hard_links_once = a->hard_links_once != 0;
    a->one_file_system = a->one_file_system != 0;
    a->exclude_caches = a->exclude_caches != 0;
    a->extended = a->extended != 0;
    if (a->stall_timeout_ms == 0)
        a->stall_timeout_ms = DISK_STALL_TIMEOUT_MS;
    else if (a->stall_timeout_ms < 0)
        a->stall_timeout_ms = DISK_STALL_WAIT_FOREVER;
}

static bool copy_texts(qv_options *o, const char *path)
{
    o->path = copy_text(path);
    if (!o->path)
        return false;
    // A relative root is resolved now: the host may change its current
    // directory as soon as the scan has started. Where the current
    // directory cannot be had, the text is taken as it is.
    o->abs_path = qv_absolute_path(path);
    if (!o->abs_path)
        o->abs_path = copy_text(path);
    if (!o->abs_path)
        return false;
    int32_t n = o->asked.exclude_count;
    if (n == 0) {
        o->asked.excludes = nullptr;
        return true;
    }
    // Zeroed: what could not be copied is freed as null.
    o->excludes = static_cast<char **>(calloc((size_t)n, sizeof(char *)));
    if (!o->excludes)
        return false;
    for (int32_t i = 0; i < n; i++)
        if (!(o->excludes[i] = copy_text(o->asked.excludes[i])))
            return false;
    o->asked.excludes = o->excludes;
    return true;
}

int qv_options_from_host(qv_options *out, const char *path, const disk_scan_options *opts)
{
    *out = qv_options{};
    if (!path || !read_asked(opts, &out->asked)) {
        *out = qv_options{};
        return -1;
    }
    settle(&out->asked);
    if (!copy_texts(out, path)) {
        qv_options_release(out);
        return -1;
    }
    return 0;
}

void qv_options_to_host(const qv_options *o, disk_scan_options *out)
{
    disk_scan_options full = o->asked;
    full.struct_size = out->struct_size;
    memcpy(out, &full, out->struct_size < sizeof full ? out->struct_size : sizeof full);
}
