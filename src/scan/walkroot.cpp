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
    qv_call_watch *watch;  // the opener's calls into storage (never given up on: it owns nothing of the walk)
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
    free(o->watch);
    qv_cond_destroy(&o->cond);
    qv_mutex_destroy(&o->mutex);
    free(o);
}

static void open_root_now(root_opening *o)
{
    qv_call_begin(o->watch);
    o->real = qv_real_path(o->path);
    qv_call_end(o->watch);
    o->root = qv_dirroot_open(o->path, &o->cancel, &o->err, o->watch);
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

// A cancelled opener that is not inside a call (it waits for a descriptor)
// ends this soon.
#define OPENER_CANCEL_MS 200

// Waits for the opener until it is done, or one of its calls has not
// answered within the stall timeout (a wait for a descriptor is no call),
// or the scan is cancelled and the opener does not end at once; true when
// it is done.
static bool wait_for_opener(qv_walk_ctx *ctx, root_opening *o)
{
    uint32_t stall_ms = qv_stall_ms(ctx->opts);
    uint64_t seen = o->watch->state.load(std::memory_order_relaxed), since = qv_time_ms(), cancelled_at = 0;
    qv_mutex_lock(&o->mutex);
    while (!o->done) {
        qv_cond_wait_ms(&o->cond, &o->mutex, 10);
        uint64_t now = qv_time_ms(), state = o->watch->state.load(std::memory_order_relaxed);
        if (state != seen) {
            seen = state;
            since = now;
        }
        if (o->done)
            break;
        if (cancelled(ctx) && !cancelled_at) {
            o->cancel.store(1);
            cancelled_at = now;
        }
        bool inside = (state & QV_CALL_INSIDE) != 0;
        if (cancelled_at && (inside || now - cancelled_at >= OPENER_CANCEL_MS))
            break;
        if (inside && stall_ms > 0 && now - since >= stall_ms)
            break;
    }
    bool done = o->done != 0;
    qv_mutex_unlock(&o->mutex);
    return done;
}

bool qv_walk_open_root(qv_walk_ctx *ctx)
{
    const char *path = ctx->opts->abs_path;
    size_t len = strlen(path);
    auto *o = static_cast<root_opening *>(calloc(1, sizeof(root_opening) + len));
    if (!o) {
        ctx->problems.root_error.store(QV_ERR_NOMEM);
        return false;
    }
    memcpy(o->path, path, len + 1);
    void *watch = calloc(1, sizeof(qv_call_watch));
    o->watch = watch ? new (watch) qv_call_watch() : nullptr;
    if (!o->watch) {
        free(o);
        ctx->problems.root_error.store(QV_ERR_NOMEM);
        return false;
    }
    qv_call_watch_init(o->watch, nullptr);
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
                ctx->problems.root_error.store(QV_ERR_TIMEDOUT);
            release_opening(o);
            return false;
        }
    }
    ctx->own.real_root = o->real;
    ctx->own.dirroot = o->root;
    int err = o->err;
    o->real = nullptr;
    o->root = nullptr;
    release_opening(o);
    if (!ctx->own.dirroot && err > 0)
        ctx->problems.root_error.store(err);
    return ctx->own.dirroot != nullptr;
}
