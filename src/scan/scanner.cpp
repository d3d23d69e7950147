// The table of scan slots and the scan run.
#include "scanner.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "walker.h"

// Raw storage, the slots made in it once by qv_scanner_init and never
// destroyed: a scan its host never freed may still be walking while the
// process exits, and its workers write into their slot to the last.
alignas(scan_slot) static unsigned char s_slot_storage[MAX_SCANS * sizeof(scan_slot)];

static scan_slot *slot_at(int i)
{
    return reinterpret_cast<scan_slot *>(s_slot_storage) + i;
}

// Apart from the slots, which a claim sets up anew: a poll of a free id
// reads only this.
static std::atomic<uint8_t> s_claimed[MAX_SCANS];
static qv_mutex g_scans_mutex;

static void clear_slot(scan_slot *s)
{
    s->~scan_slot();
    new (s) scan_slot();
}

void qv_scanner_init(void)
{
    qv_mutex_init(&g_scans_mutex);
    for (int i = 0; i < MAX_SCANS; i++) {
        new (slot_at(i)) scan_slot();
        s_claimed[i].store(0);
    }
}

scan_slot *qv_scanner_slot(int id)
{
    if ((uint32_t)id >= MAX_SCANS)
        return nullptr;
    return s_claimed[id].load() ? slot_at(id) : nullptr;
}

// Claims the lowest free slot; its index, or -1.
static int alloc_scan_slot(void)
{
    if (!g_scans_mutex.h)
        return -1;  // the table could not be set up
    qv_mutex_lock(&g_scans_mutex);
    for (int i = 0; i < MAX_SCANS; i++) {
        if (s_claimed[i].load())
            continue;
        scan_slot *s = slot_at(i);
        clear_slot(s);
        if (qv_walk_init(&s->walk) != 0)
            break;
        s->walk.cancel = &s->cancel_requested;
        s_claimed[i].store(1);
        qv_mutex_unlock(&g_scans_mutex);
        return i;
    }
    qv_mutex_unlock(&g_scans_mutex);
    return -1;
}

// Gives up a slot whose run is over or never started; clearing its claim
// last makes it claimable again only once wholly released.
static void release_slot(scan_slot *s)
{
    qv_walk_release(&s->walk);
    s->walk.opts = nullptr;
    qv_options_release(&s->opts);
    s_claimed[s - slot_at(0)].store(0);
}

// Takes the options over into a claimed slot.
static void fill_slot(scan_slot *s, qv_options *opts, const qv_walk_hooks *hooks)
{
    s->opts = *opts;
    *opts = qv_options{};
    s->walk.opts = &s->opts;
    if (hooks)
        s->walk.hooks = *hooks;
}

static void do_scan(scan_slot *s)
{
    s->state.store(SCAN_RUNNING);
    qv_scan_result *r = qv_scan_result_create();
    s->result = r;
    if (!r) {
        s->state.store(SCAN_FAILED);
        return;
    }
    s->walk.result = r;
    r->extended = s->opts.asked.extended != 0;
    // The root's text stays whole, however long: the documents name the root
    // with it, and disk_get_dir finds the root by it.
    size_t len = strlen(s->opts.path);
    qv_entry *root = len <= UINT32_MAX ? qv_tree_new_entry(qv_scan_result_first_arena(r), s->opts.path, (uint32_t)len, r->extended)
                                       : nullptr;
    if (!root) {
        s->state.store(SCAN_FAILED);
    } else {
        root->is_dir = 1;
        root->depth = 0;
        r->root = root;

        uint64_t start = qv_time_ms();
        qv_walk(&s->walk, root);
        if (s->cancel_requested.load() != 0) {
            s->state.store(SCAN_CANCELLED);
        } else {
            qv_tree_accumulate_sizes(root, r->extended);
            r->total_size = root->size;
            r->total_files = root->file_count;
            r->total_dirs = root->dir_count;
            r->scan_time_ms = (double)(qv_time_ms() - start);
            s->walk.progress.files.store(r->total_files);
            s->walk.progress.dirs.store(r->total_dirs);
            s->walk.progress.bytes.store(r->total_size);
            s->state.store(SCAN_DONE);
        }
    }
}

static int async_scan_thread(void *arg)
{
    do_scan(static_cast<scan_slot *>(arg));
    return 0;
}

int qv_scanner_scan_async(qv_options *opts, const qv_walk_hooks *hooks)
{
    int id = opts->path ? alloc_scan_slot() : -1;
    if (id < 0) {
        qv_options_release(opts);
        return -1;
    }
    scan_slot *s = slot_at(id);
    fill_slot(s, opts, hooks);
    if (qv_thread_create(&s->thread, async_scan_thread, s) != 0) {
        release_slot(s);
        return -1;
    }
    s->has_thread = 1;
    return id;
}

qv_scan_result *qv_scanner_scan(qv_options *opts, const qv_walk_hooks *hooks)
{
    int id = opts->path ? alloc_scan_slot() : -1;
    if (id < 0) {
        qv_options_release(opts);
        return nullptr;
    }
    scan_slot *s = slot_at(id);
    fill_slot(s, opts, hooks);
    do_scan(s);
    qv_scan_result *r = s->result;
    s->result = nullptr;
    release_slot(s);
    return r;
}

int qv_scanner_claim(qv_options *opts)
{
    int id = opts->path ? alloc_scan_slot() : -1;
    if (id < 0) {
        qv_options_release(opts);
        return -1;
    }
    scan_slot *s = slot_at(id);
    fill_slot(s, opts, nullptr);
    s->result = qv_scan_result_create();
    if (!s->result) {
        release_slot(s);
        return -1;
    }
    s->walk.result = s->result;
    s->result->extended = s->opts.asked.extended != 0;
    s->import.active = 1;
    s->import.started_ms = qv_time_ms();
    s->state.store(SCAN_RUNNING);
    return id;
}

int32_t qv_scanner_get_progress(int id, uint64_t *files, uint64_t *dirs, uint64_t *bytes)
{
    scan_slot *s = qv_scanner_slot(id);
    if (!s)
        return -1;
    // State first: a done state guarantees the final counts below.
    int32_t state = s->state.load();
    if (files)
        *files = s->walk.progress.files.load(std::memory_order_relaxed);
    if (dirs)
        *dirs = s->walk.progress.dirs.load(std::memory_order_relaxed);
    if (bytes)
        *bytes = s->walk.progress.bytes.load(std::memory_order_relaxed);
    return state;
}

int32_t qv_scanner_get_problems(int id, qv_scan_problems *out)
{
    scan_slot *s = qv_scanner_slot(id);
    if (!s)
        return -1;
    int32_t state = s->state.load();
    const qv_walk_problems &p = s->walk.problems;
    out->root_error = p.root_error.load();
    out->unreadable_dirs = p.unreadable_dirs.load();
    out->skipped_entries = p.skipped_entries.load();
    out->loop_dirs = p.loop_dirs.load();
    out->pseudo_fs_dirs = p.pseudo_fs_dirs.load();
    out->stalled_dirs = p.stalled_dirs.load();
    return state;
}

int32_t qv_scanner_get_state(int id)
{
    scan_slot *s = qv_scanner_slot(id);
    return s ? s->state.load() : -1;
}

void qv_scanner_cancel(int id)
{
    scan_slot *s = qv_scanner_slot(id);
    if (s)
        s->cancel_requested.store(1);
}

qv_problem_list qv_scanner_problem_list(const scan_slot *s)
{
    return qv_walk_problem_list(&s->walk);
}

qv_scan_result *qv_scanner_get_result(int id)
{
    scan_slot *s = qv_scanner_slot(id);
    return s ? s->result : nullptr;
}

void qv_scanner_free(int id)
{
    scan_slot *s = qv_scanner_slot(id);
    if (!s)
        return;
    s->cancel_requested.store(1);
    if (s->has_thread) {
        qv_thread_join(&s->thread, nullptr);
        s->has_thread = 0;
    }
    free(s->result_json);
    free(s->top_json);
    free(s->ext_json);
    free(s->problems_json.exchange(nullptr));
    free(s->dir_json);
    s->result_json = s->top_json = s->ext_json = s->dir_json = nullptr;
    qv_scan_result_free(s->result);
    s->result = nullptr;
    release_slot(s);
}

void qv_scanner_cleanup(void)
{
    for (int i = 0; i < MAX_SCANS; i++)
        qv_scanner_free(i);
    qv_mutex_destroy(&g_scans_mutex);
}
