// The guard of guard.h: qvdisk works in a child process, the parent waits.
// The child sends the parent one-byte messages through a pipe: 'S' and 's'
// when it takes and gives back the terminal's screen, 'x' and a byte before
// it ends: its exit status.
#include "guard.h"

#include <cstdio>

#ifdef __linux__
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

// In sanitizer builds the parent waits a little for the child's own end
// after its status, so that what the sanitizer finds at exit (leaks) still
// decides the status the tests see.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QV_GUARD_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QV_GUARD_SANITIZED 1
#endif
#endif

namespace {

const int HANDLED[] = {SIGINT, SIGTERM, SIGHUP};
const double SIGNAL_GRACE_S = 0.8;  // from a signal to the child killed
#ifdef QV_GUARD_SANITIZED
const double STATUS_GRACE_S = 3.0;  // from the status to giving up on the child's end
#endif

int g_to_parent = -1;  // in the child
volatile pid_t g_child = 0;
volatile sig_atomic_t g_signal = 0;  // the first signal the parent took

struct watch {
    pid_t child = 0;
    int from = -1;         // the pipe's end
    bool eof = false;      // the child holds it no more: it is ending
    bool want_status = false;
    int status = -1;       // reported, 0..255
    bool screen = false;   // the child has the terminal's screen
    int tty = -1;          // a terminal and its settings before the child ran
    termios tty_was{};
    double deadline = 0;   // 0: none yet
};

double now_s()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

void write_all(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return;
        p += w;
        n -= (size_t)w;
    }
}

// fd moved above standard input, output and error, which may have been
// closed when qvdisk started: what the child writes there must not reach
// the parent as messages.
int above_stdio(int fd)
{
    if (fd < 0 || fd > STDERR_FILENO)
        return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(fd);
    return moved;
}

// A signal from the terminal reached the whole foreground group, the child
// too; any other is passed on. The child's handlers take a second one the
// same as one.
void on_signal(int sig, siginfo_t *info, void *)
{
    if (g_child > 0 && (!info || info->si_code != SI_KERNEL))
        kill(g_child, sig);
    if (!g_signal)
        g_signal = sig;
}

void take_signals(sigset_t *open_mask)
{
    struct sigaction sa{};
    sa.sa_sigaction = on_signal;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    for (int sig : HANDLED) {
        struct sigaction was{};
        sigaction(sig, nullptr, &was);
        // nohup and the like stay obeyed; SIGINT is taken as qvdisk
        // always took it.
        if (sig == SIGINT || was.sa_handler != SIG_IGN)
            sigaction(sig, &sa, nullptr);
        sigdelset(open_mask, sig);
    }
    // The parent writes only to give the terminal back, which it may do
    // from the background.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGTTOU, SIG_IGN);
}

void restore_terminal(const watch &w)
{
    if (!w.screen)
        return;
    if (w.tty >= 0)
        tcsetattr(w.tty, TCSANOW, &w.tty_was);
    // Attributes, mouse reports, keypad mode off; the cursor shown; the
    // normal screen back.
    static const char leave[] = "\033[0m\033[?1000l\033[?1002l\033[?1006l\033[?1l\033>\033[?25h\033[?1049l";
    write_all(STDOUT_FILENO, leave, sizeof leave - 1);
}

// Ends this process by sig, as the child ended, without a core of its own.
[[noreturn]] void end_by(int sig)
{
    rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
    signal(sig, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    sigprocmask(SIG_UNBLOCK, &one, nullptr);
    raise(sig);
    _exit(128 + sig);
}

// Takes in what the child has sent; false once the pipe has ended.
bool read_messages(watch &w)
{
    char buf[64];
    ssize_t n = read(w.from, buf, sizeof buf);
    if (n < 0)
        return errno == EINTR || errno == EAGAIN;
    for (ssize_t i = 0; i < n; i++) {
        if (w.want_status)
            w.status = (unsigned char)buf[i];
        else if (buf[i] == 'S' || buf[i] == 's')
            w.screen = buf[i] == 'S';
        w.want_status = !w.want_status && buf[i] == 'x';
    }
    return n > 0;
}

// The child is gone: its status, or its signal, is this process's.
[[noreturn]] void pass_on(const watch &w, int st)
{
    if (WIFEXITED(st))
        _exit(WEXITSTATUS(st));
    if (w.status >= 0)  // killed after it reported
        _exit(w.status);
    restore_terminal(w);
    end_by(WIFSIGNALED(st) ? WTERMSIG(st) : SIGKILL);
}

// The child did not end in time: killed (it goes when its call returns).
[[noreturn]] void give_up(watch &w)
{
    kill(w.child, SIGKILL);
    pollfd p{w.from, POLLIN, 0};
    while (!w.eof && poll(&p, 1, 0) > 0)  // a status sent just now counts
        w.eof = !read_messages(w);
    if (w.status >= 0)
        _exit(w.status);
    restore_terminal(w);
    if (g_signal != SIGINT)
        end_by(g_signal ? (int)g_signal : SIGKILL);
    static const char said[] = "qvdisk: interrupted\n";
    write_all(STDERR_FILENO, said, sizeof said - 1);
    _exit(130);
}

[[noreturn]] void wait_for_child(watch &w, const sigset_t &open_mask)
{
    for (;;) {
        if (g_signal && (!w.deadline || w.deadline > now_s() + SIGNAL_GRACE_S))
            w.deadline = now_s() + SIGNAL_GRACE_S;
#ifdef QV_GUARD_SANITIZED
        if (w.status >= 0 && !w.deadline)
            w.deadline = now_s() + STATUS_GRACE_S;
#else
        if (w.status >= 0)
            _exit(w.status);
#endif
        double left = w.deadline ? w.deadline - now_s() : -1;
        if (w.deadline && left <= 0)
            give_up(w);
        if (w.eof && (left < 0 || left > 0.01))
            left = 0.01;  // it is ending: look for its end now and then
        timespec ts{(time_t)left, (long)((left - (double)(time_t)left) * 1e9)};
        pollfd p{w.eof ? -1 : w.from, POLLIN, 0};
        ppoll(&p, 1, left < 0 ? nullptr : &ts, &open_mask);
        if (!w.eof && p.revents)
            w.eof = !read_messages(w);
        int st;
        if (w.eof && waitpid(w.child, &st, WNOHANG) == w.child)
            pass_on(w, st);
    }
}

}  // namespace

void guard_start()
{
    sigset_t handled, was;
    sigemptyset(&handled);
    for (int sig : HANDLED)
        sigaddset(&handled, sig);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return;
    fds[0] = above_stdio(fds[0]);
    fds[1] = above_stdio(fds[1]);
    if (fds[0] < 0 || fds[1] < 0) {
        close(fds[0]);
        close(fds[1]);
        return;
    }
    watch w;
    w.tty = isatty(STDIN_FILENO) ? STDIN_FILENO : isatty(STDOUT_FILENO) ? STDOUT_FILENO : -1;
    if (w.tty >= 0 && tcgetattr(w.tty, &w.tty_was) != 0)
        w.tty = -1;
    fflush(nullptr);
    // Signals wait until the parent can pass them on.
    sigprocmask(SIG_BLOCK, &handled, &was);
    pid_t parent = getpid();
    pid_t child = fork();
    if (child <= 0) {
        close(fds[0]);
        if (child == 0) {
            // Never outlive the parent, not even one killed outright.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent)
                _exit(1);
            g_to_parent = fds[1];
        } else {
            close(fds[1]);
        }
        sigprocmask(SIG_SETMASK, &was, nullptr);
        return;
    }
    close(fds[1]);
    w.child = child;
    w.from = fds[0];
    g_child = child;
    take_signals(&was);
    wait_for_child(w, was);
}

int guard_report(int status)
{
    fflush(stdout);
    fflush(stderr);
    if (g_to_parent < 0)
        return status;
    char msg[2] = {'x', (char)status};
    write_all(g_to_parent, msg, sizeof msg);
    close(g_to_parent);
    g_to_parent = -1;
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
#ifdef QV_GUARD_SANITIZED
    const int last = STDOUT_FILENO;  // the sanitizer's report at exit goes to stderr
#else
    const int last = STDERR_FILENO;
#endif
    for (int fd = STDIN_FILENO; null >= 0 && fd <= last; fd++)
        if (fd != null)
            dup2(null, fd);
    if (null > STDERR_FILENO)
        close(null);
    return status;
}

void guard_screen(bool taken)
{
    if (g_to_parent >= 0)
        write_all(g_to_parent, taken ? "S" : "s", 1);
}

#else  // no fork: the work is done in this process

void guard_start() {}

int guard_report(int status)
{
    fflush(stdout);
    fflush(stderr);
    return status;
}

void guard_screen(bool) {}

#endif
