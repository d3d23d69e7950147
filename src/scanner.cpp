// The table of scan slots and the scan run.
#include "scanner.h"

#include <cstdlib>
#include <cstring>

#include "walker.h"

#define MIN_WORKERS 2
#define MAX_WORKERS 16
#define ROOT_NAME_MAX 65535

scan_slot g_scans[MAX_SCANS];
static qv_mutex g_scans_mutex;

// Every field of a slot as a fresh claim finds it (in_use aside).
static void clear_slot(scan_slot *s)
{
    s->result = nullptr;
    s->path = nullptr;
    s->max_depth = 0;
    s->follow_links = 0;
    s->no_pool = 0;
    s->size_kind = QV_SIZE_APPARENT;
    s->hard_links_once = s->one_file_system = s->exclude_caches = 0;
    s->excludes = nullptr;
    s->exclude_count = 0;
    s->links = nullptr;
    s->nlinks = s->links_cap = 0;
    s->thread.h = 0;
    s->has_thread = 0;
    s->result_json = s->top_json = s->ext_json = s->dir_json = nullptr;
    s->ordered = 0;
    s->pool = nullptr;
    s->tree_mutex.h = nullptr;
    s->abs_path = nullptr;
    s->real_root = nullptr;
    s->root_text = nullptr;
    s->root_pseudo = 0;
    s->dirroot = nullptr;
    s->root_error.store(0);
    s->unreadable_dirs.store(0);
    s->skipped_entries.store(0);
    s->loop_dirs.store(0);
    s->pseudo_fs_dirs.store(0);
    s->problems_mutex.h = nullptr;
    s->problems = nullptr;
    s->nproblems = s->problems_cap = 0;
    s->problems_json = nullptr;
    s->seen_files.store(0);
    s->seen_dirs.store(0);
    s->seen_bytes.store(0);
    s->state.store(SCAN_IDLE);
    s->cancel_requested.store(0);
}

void qv_scanner_init(void)
{
    qv_mutex_init(&g_scans_mutex);
    for (scan_slot &s : g_scans) {
        clear_slot(&s);
        s.in_use.store(0);
    }
}

scan_slot *qv_scanner_slot(int id)
{
    if ((uint32_t)id >= MAX_SCANS)
        return nullptr;
    scan_slot *s = &g_scans[id];
    return s->in_use.load() ? s : nullptr;
}

// Claims the lowest free slot; its index, or -1.
static int alloc_scan_slot(void)
{
    if (!g_scans_mutex.h)
        return -1;  // the table could not be set up
    qv_mutex_lock(&g_scans_mutex);
    for (int i = 0; i < MAX_SCANS; i++) {
        scan_slot *s = &g_scans[i];
        if (s->in_use.load())
            continue;
        clear_slot(s);
        if (qv_mutex_init(&s->tree_mutex) != 0)
            break;
        if (qv_mutex_init(&s->problems_mutex) != 0) {
            qv_mutex_destroy(&s->tree_mutex);
            break;
        }
        s->in_use.store(1);
        qv_mutex_unlock(&g_scans_mutex);
        return i;
    }
    qv_mutex_unlock(&g_scans_mutex);
    return -1;
}

// Gives up a slot whose run is over or never started; clearing in_use last
// makes it claimable again only once wholly released.
static void release_slot(scan_slot *s)
{
    free(s->path);
    s->path = nullptr;
    free(s->abs_path);
    s->abs_path = nullptr;
    free(s->real_root);
    s->real_root = nullptr;
    free(s->problems);
    s->problems = nullptr;
    s->nproblems = s->problems_cap = 0;
    free(s->links);
    s->links = nullptr;
    s->nlinks = s->links_cap = 0;
    for (int32_t i = 0; i < s->exclude_count; i++)
        free(s->excludes[i]);
    free(s->excludes);
    s->excludes = nullptr;
    s->exclude_count = 0;
    qv_mutex_destroy(&s->tree_mutex);
    qv_mutex_destroy(&s->problems_mutex);
    s->in_use.store(0);
}

static bool fill_slot(scan_slot *s, const qv_scan_options *opts)
{
    size_t len = strlen(opts->path);
    s->path = static_cast<char *>(malloc(len + 1));
    if (!s->path)
        return false;
    memcpy(s->path, opts->path, len + 1);
    // A relative root is resolved now: the host may change its current
    // directory as soon as the scan has started. Where the current directory
    // cannot be had, the text is taken as it is.
    s->abs_path = qv_absolute_path(opts->path);
    if (!s->abs_path) {
        s->abs_path = static_cast<char *>(malloc(len + 1));
        if (!s->abs_path)
            return false;
        memcpy(s->abs_path, opts->path, len + 1);
    }
    s->max_depth = opts->max_depth;
    s->follow_links = opts->follow_links ? 1 : 0;
    s->no_pool = opts->no_pool;
    s->size_kind = opts->size_kind;
    s->hard_links_once = opts->hard_links_once ? 1 : 0;
    s->one_file_system = opts->one_file_system ? 1 : 0;
    s->exclude_caches = opts->exclude_caches ? 1 : 0;
    if (opts->exclude_count > 0) {
        s->excludes = static_cast<char **>(calloc((size_t)opts->exclude_count, sizeof(char *)));
        if (!s->excludes)
            return false;
        for (int32_t i = 0; i < opts->exclude_count; i++) {
            size_t n = strlen(opts->excludes[i]) + 1;
            s->excludes[i] = static_cast<char *>(malloc(n));
            if (!s->excludes[i])
                return false;
            s->exclude_count = i + 1;  // what release_slot frees
            memcpy(s->excludes[i], opts->excludes[i], n);
        }
    }
    return true;
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
    int workers = qv_cpu_count();
    if (workers < MIN_WORKERS)
        workers = MIN_WORKERS;
    if (workers > MAX_WORKERS)
        workers = MAX_WORKERS;
    s->pool = s->no_pool ? nullptr : qv_threadpool_create(workers);

    qv_entry *root = qv_tree_new_entry(r->entry_arena);
    if (!root) {
        s->state.store(SCAN_FAILED);
    } else {
        root->is_dir = 1;
        root->depth = 0;
        size_t len = strlen(s->path);
        qv_tree_set_name(root, r->name_arena, s->path, (int32_t)(len > ROOT_NAME_MAX ? ROOT_NAME_MAX : len));
        r->root = root;

        uint64_t start = qv_time_ms();
        qv_walk_root(s, root, s->abs_path);
        if (s->pool)
            qv_threadpool_wait(s->pool);
        qv_walk_end(s);
        if (s->cancel_requested.load() != 0) {
            s->state.store(SCAN_CANCELLED);
        } else {
            qv_tree_accumulate_sizes(root);
            r->total_size = root->size;
            r->total_files = root->file_count;
            r->total_dirs = root->dir_count;
            r->scan_time_ms = (double)(qv_time_ms() - start);
            s->seen_files.store(r->total_files);
            s->seen_dirs.store(r->total_dirs);
            s->seen_bytes.store(r->total_size);
            s->state.store(SCAN_DONE);
        }
    }
    if (s->pool) {
        qv_threadpool_destroy(s->pool);
        s->pool = nullptr;
    }
}

static int async_scan_thread(void *arg)
{
    do_scan(static_cast<scan_slot *>(arg));
    return 0;
}

int qv_scanner_scan_async(const qv_scan_options *opts)
{
    if (!opts || !opts->path)
        return -1;
    int id = alloc_scan_slot();
    if (id < 0)
        return -1;
    scan_slot *s = &g_scans[id];
    if (!fill_slot(s, opts)) {
        release_slot(s);
        return -1;
    }
    if (qv_thread_create(&s->thread, async_scan_thread, s) != 0) {
        release_slot(s);
        return -1;
    }
    s->has_thread = 1;
    return id;
}

qv_scan_result *qv_scanner_scan(const qv_scan_options *opts)
{
    if (!opts || !opts->path)
        return nullptr;
    int id = alloc_scan_slot();
    if (id < 0)
        return nullptr;
    scan_slot *s = &g_scans[id];
    if (!fill_slot(s, opts)) {
        release_slot(s);
        return nullptr;
    }
    do_scan(s);
    qv_scan_result *r = s->result;
    s->result = nullptr;
    release_slot(s);
    return r;
}

int32_t qv_scanner_get_progress(int id, uint64_t *files, uint64_t *dirs, uint64_t *bytes)
{
    scan_slot *s = qv_scanner_slot(id);
    if (!s)
        return -1;
    // State first: a done state guarantees the final counts below.
    int32_t state = s->state.load();
    if (files)
        *files = s->seen_files.load(std::memory_order_relaxed);
    if (dirs)
        *dirs = s->seen_dirs.load(std::memory_order_relaxed);
    if (bytes)
        *bytes = s->seen_bytes.load(std::memory_order_relaxed);
    return state;
}

int32_t qv_scanner_get_problems(int id, qv_scan_problems *out)
{
    scan_slot *s = qv_scanner_slot(id);
    if (!s)
        return -1;
    int32_t state = s->state.load();
    out->root_error = s->root_error.load();
    out->unreadable_dirs = s->unreadable_dirs.load();
    out->skipped_entries = s->skipped_entries.load();
    out->loop_dirs = s->loop_dirs.load();
    out->pseudo_fs_dirs = s->pseudo_fs_dirs.load();
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
    free(s->problems_json);
    free(s->dir_json);
    s->result_json = s->top_json = s->ext_json = s->problems_json = s->dir_json = nullptr;
    s->ordered = 0;
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
