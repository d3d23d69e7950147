// Opening the scan's root on a thread of its own, which the walk stops
// waiting for after the stall timeout (or a cancel): a share whose server
// went away hangs the very first call, and the thread left in it closes
// what it opens should the call ever return.
#include <cstdlib>
#include <cstring>
#include <new>

#include "walker.h"

static bool cancelled(const qv_walk_ctx *ctx)
{
    return ctx->cancel && ctx->cancel->load(std::memory_order_relaxed) != 0;
}

namespace {

struct root_opening {
    std::atomic<int32_t> refs;  // the opener and the walk
    std::atomic<int32_t> cancel;
    qv_mutex mutex;
    qv_cond cond;
    uint8_t done;  // under mutex
    qv_dirroot *root;
    char *real;
    int err;
    char path[1];
};

}  // namespace

static void release_opening(root_opening *o)
{
    if (o->refs.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return;
    qv_dirroot_close(o->root);  // null once the walk has taken it
    free(o->real);
    qv_cond_destroy(&o->cond);
    qv_mutex_destroy(&o->mutex);
    free(o);
}

static void open_root_now(root_opening *o)
{
    o->real = qv_real_path(o->path);
    o->root = qv_dirroot_open(o->path, &o->cancel, &o->err);
}

static int opener_main(void *arg)
{
    auto *o = static_cast<root_opening *>(arg);
    open_root_now(o);
    qv_mutex_lock(&o->mutex);
    o->done = 1;
    qv_cond_signal(&o->cond);
    qv_mutex_unlock(&o->mutex);
    release_opening(o);
    return 0;
}

// Waits for the opener until it is done, the scan is cancelled or the
// stall timeout passes; true when it is done.
static bool wait_for_opener(qv_walk_ctx *ctx, root_opening *o)
{
    uint64_t start = qv_time_ms();
    qv_mutex_lock(&o->mutex);
    while (!o->done && !cancelled(ctx) && (ctx->stall_ms == 0 || qv_time_ms() - start < ctx->stall_ms))
        qv_cond_wait_ms(&o->cond, &o->mutex, 10);
    bool done = o->done != 0;
    qv_mutex_unlock(&o->mutex);
    return done;
}

bool qv_walk_open_root(qv_walk_ctx *ctx, const char *path)
{
    size_t len = strlen(path);
    auto *o = static_cast<root_opening *>(calloc(1, sizeof(root_opening) + len));
    if (!o) {
        ctx->root_error.store(QV_ERR_NOMEM);
        return false;
    }
    memcpy(o->path, path, len + 1);
    new (&o->refs) std::atomic<int32_t>(2);
    new (&o->cancel) std::atomic<int32_t>(0);
    qv_thread opener;
    bool own_thread = qv_mutex_init(&o->mutex) == 0 && qv_cond_init(&o->cond) == 0 &&
                      qv_thread_create(&opener, opener_main, o) == 0;
    if (!own_thread) {
        open_root_now(o);  // no thread to be had: opened here, unwatched
        o->refs.store(1);
    } else {
        qv_thread_detach(&opener);
        if (!wait_for_opener(ctx, o)) {
            // Left to finish (or not) by itself; it closes what it opens.
            qv_pin_library();
            o->cancel.store(1);
            if (!cancelled(ctx))
                ctx->root_error.store(QV_ERR_TIMEDOUT);
            release_opening(o);
            return false;
        }
    }
    ctx->real_root = o->real;
    ctx->dirroot = o->root;
    int err = o->err;
    o->real = nullptr;
    o->root = nullptr;
    release_opening(o);
    if (!ctx->dirroot && err > 0)
        ctx->root_error.store(err);
    return ctx->dirroot != nullptr;
}
