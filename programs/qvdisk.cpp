// qvdisk: scans a directory with quorvel-disk and reports where the space
// went. Uses the library only through its public header, like any host.
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <fcntl.h>
#include <time.h>
#include <unistd.h>
#endif

#include "htmlreport.h"
#include "jsonread.h"
#include "quorvel_disk.h"

#ifndef QVDISK_VERSION
#define QVDISK_VERSION "0.0.0"
#endif

enum exit_code { EXIT_OK = 0, EXIT_SCAN_FAILED = 1, EXIT_USAGE = 2, EXIT_INTERRUPTED = 130 };

static const int WIDTH = 80;

namespace {

struct options {
    const char *path = nullptr;
    const char *json = nullptr;  // tree, top, ext
    const char *html = nullptr;  // file for the treemap page
    int max_depth = 0;
    bool follow_links = false;
    int top = 10;
    int levels = 2;
    int exts = 10;
};

struct style {
    bool color = false;
    bool unicode = false;
    const char *bold() const { return color ? "\033[1m" : ""; }
    const char *dim() const { return color ? "\033[2m" : ""; }
    const char *cyan() const { return color ? "\033[36m" : ""; }
    const char *green() const { return color ? "\033[32m" : ""; }
    const char *reset() const { return color ? "\033[0m" : ""; }
};

volatile sig_atomic_t g_interrupted = 0;

void usage(FILE *out)
{
    fprintf(out,
            "usage: qvdisk PATH [options]\n"
            "Scans the directory PATH and reports its size, its largest directories and\n"
            "files, and the space taken by each file extension.\n"
            "\n"
            "options:\n"
            "  --json tree|top|ext  print that JSON document as the library returns it\n"
            "  --html FILE          also write an interactive treemap page to FILE\n"
            "  --max-depth N        list at most N levels below PATH (default: no limit)\n"
            "  --follow-links       count symbolic links as what they point to\n"
            "  --top N              largest files to show (default 10)\n"
            "  --levels N           levels of the directory tree to show (default 2, at most 10)\n"
            "  --exts N             extensions to show (default 10)\n"
            "  --help               this text\n"
            "  --version            the version\n"
            "\n"
            "Colour is used only on a terminal, and never when NO_COLOR is set.\n"
            "\n"
            "exit status:\n"
            "  0    the report was written\n"
            "  1    the scan failed or gave no document, or FILE could not be written\n"
            "  2    bad usage, or PATH is missing or not a directory\n"
            "  130  interrupted (Ctrl-C)\n");
}

bool parse_int(const char *s, int lo, int hi, int *out)
{
    if (!s || !*s)
        return false;
    char *end;
    errno = 0;
    long v = strtol(s, &end, 10);
    if (*end || errno || v < lo || v > hi)
        return false;
    *out = (int)v;
    return true;
}

int parse_args(int argc, char **argv, options *o)
{
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        auto need_int = [&](int lo, int hi, int *out) {
            if (!parse_int(v, lo, hi, out)) {
                fprintf(stderr, "qvdisk: %s needs a number from %d to %d\n", a, lo, hi);
                return false;
            }
            i++;
            return true;
        };
        if (!strcmp(a, "--help") || !strcmp(a, "-h")) {
            usage(stdout);
            return -1;
        } else if (!strcmp(a, "--version")) {
            printf("qvdisk %s\n", QVDISK_VERSION);
            return -1;
        } else if (!strcmp(a, "--json")) {
            if (!v || (strcmp(v, "tree") && strcmp(v, "top") && strcmp(v, "ext"))) {
                fprintf(stderr, "qvdisk: --json needs tree, top or ext\n");
                return EXIT_USAGE;
            }
            o->json = v;
            i++;
        } else if (!strcmp(a, "--html")) {
            if (!v) {
                fprintf(stderr, "qvdisk: --html needs a file name\n");
                return EXIT_USAGE;
            }
            o->html = v;
            i++;
        } else if (!strcmp(a, "--max-depth")) {
            if (!need_int(0, 1000000, &o->max_depth))
                return EXIT_USAGE;
        } else if (!strcmp(a, "--follow-links")) {
            o->follow_links = true;
        } else if (!strcmp(a, "--top")) {
            if (!need_int(0, 1000000, &o->top))
                return EXIT_USAGE;
        } else if (!strcmp(a, "--levels")) {
            if (!need_int(0, 10, &o->levels))
                return EXIT_USAGE;
        } else if (!strcmp(a, "--exts")) {
            if (!need_int(0, 1000000, &o->exts))
                return EXIT_USAGE;
        } else if (a[0] == '-' && a[1] != '\0') {
            fprintf(stderr, "qvdisk: unknown option %s (see --help)\n", a);
            return EXIT_USAGE;
        } else if (!o->path) {
            o->path = a;
        } else {
            fprintf(stderr, "qvdisk: one PATH only (see --help)\n");
            return EXIT_USAGE;
        }
    }
    if (!o->path) {
        usage(stderr);
        return EXIT_USAGE;
    }
    return EXIT_OK;
}

// 0 when path names a directory, else prints why and returns EXIT_USAGE.
int check_directory(const char *path)
{
#ifdef _WIN32
    int n = MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
    std::wstring w(n > 0 ? (size_t)n : 1, L'\0');
    DWORD attr = n > 0 && MultiByteToWideChar(CP_UTF8, 0, path, -1, &w[0], n) > 0 ? GetFileAttributesW(w.c_str())
                                                                                  : INVALID_FILE_ATTRIBUTES;
    if (attr == INVALID_FILE_ATTRIBUTES) {
        fprintf(stderr, "qvdisk: cannot scan '%s': no such file or directory\n", path);
        return EXIT_USAGE;
    }
    if (!(attr & FILE_ATTRIBUTE_DIRECTORY)) {
        fprintf(stderr, "qvdisk: cannot scan '%s': not a directory\n", path);
        return EXIT_USAGE;
    }
#else
    // Opening it as the scan will tells missing, not a directory and
    // unreadable apart in one call.
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "qvdisk: cannot scan '%s': %s\n", path,
                errno == ENOTDIR ? "not a directory" : strerror(errno));
        return EXIT_USAGE;
    }
    close(fd);
#endif
    return EXIT_OK;
}

#ifdef _WIN32
BOOL WINAPI on_ctrl(DWORD type)
{
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) {
        g_interrupted = 1;
        return TRUE;
    }
    return FALSE;
}
void sleep_ms(int ms) { Sleep((DWORD)ms); }
double now_s() { return (double)GetTickCount64() / 1000.0; }
#else
void on_sigint(int) { g_interrupted = 1; }
void sleep_ms(int ms)
{
    struct timespec ts = {0, (long)ms * 1000000L};
    nanosleep(&ts, nullptr);
}
double now_s()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}
#endif

// Once the scan is over, Ctrl-C ends the program at once again.
void restore_interrupt_handler()
{
#ifdef _WIN32
    SetConsoleCtrlHandler(on_ctrl, FALSE);
#else
    signal(SIGINT, SIG_DFL);
#endif
}

void install_interrupt_handler()
{
#ifdef _WIN32
    SetConsoleCtrlHandler(on_ctrl, TRUE);
#else
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_sigint;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
#endif
}

std::string human(uint64_t bytes)
{
    static const char *units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    char buf[32];
    if (bytes < 1024) {
        snprintf(buf, sizeof buf, "%llu B", (unsigned long long)bytes);
        return buf;
    }
    double v = (double)bytes;
    int u = 0;
    while (v >= 1024.0 && u < 4) {
        v /= 1024.0;
        u++;
    }
    // Rounding may carry into the next unit: 1023.95 KiB shows as 1.0 MiB.
    if (v >= 1023.95 && u < 4) {
        v /= 1024.0;
        u++;
    }
    snprintf(buf, sizeof buf, "%.1f %s", v, units[u]);
    return buf;
}

std::string grouped(uint64_t n)
{
    std::string digits = std::to_string(n), out;
    for (size_t i = 0; i < digits.size(); i++) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out += ',';
        out += digits[i];
    }
    return out;
}

// Display width of UTF-8 text, counting one column per code point and
// turning control characters into '?'.
size_t columns(const std::string &s)
{
    size_t n = 0;
    for (unsigned char c : s)
        n += (c & 0xC0) != 0x80;
    return n;
}

std::string printable(const std::string &s)
{
    std::string out = s;
    for (char &c : out)
        if ((unsigned char)c < 0x20 || c == 0x7F)
            c = '?';
    return out;
}

// Keeps the first cols columns of s, marking a cut with "...".
std::string fit_right(const std::string &s, size_t cols)
{
    if (columns(s) <= cols)
        return s;
    if (cols < 3)
        return std::string(cols, '.');
    std::string out;
    size_t n = 0;
    for (size_t i = 0; i < s.size(); i++) {
        unsigned char c = (unsigned char)s[i];
        if ((c & 0xC0) != 0x80 && ++n > cols - 3)
            break;
        out += s[i];
    }
    return out + "...";
}

// Keeps the last cols columns of s (paths: the file name matters most).
std::string fit_left(const std::string &s, size_t cols)
{
    size_t total = columns(s);
    if (total <= cols)
        return s;
    if (cols < 3)
        return std::string(cols, '.');
    size_t skip = total - (cols - 3), n = 0, i = 0;
    for (; i < s.size(); i++) {
        unsigned char c = (unsigned char)s[i];
        if ((c & 0xC0) != 0x80 && n++ == skip)
            break;
    }
    return "..." + s.substr(i);
}

std::string pad_left(const std::string &s, size_t cols)
{
    size_t n = columns(s);
    return n >= cols ? s : std::string(cols - n, ' ') + s;
}

std::string bar(const style &st, double share, int width)
{
    int full = (int)(share * width + 0.5);
    if (full > width)
        full = width;
    std::string out = st.green();
    for (int i = 0; i < width; i++) {
        if (i == full)
            out += st.dim();
        out += i < full ? (st.unicode ? "\u2588" : "#") : (st.unicode ? "\u2591" : ".");
    }
    return out + st.reset();
}

double share_of(uint64_t part, uint64_t whole)
{
    return whole ? (double)part / (double)whole : 0.0;
}

const int BAR = 16;
const size_t MAX_CHILDREN = 10;

void print_dir_rows(const style &st, const jr_node &dir, int level, int levels)
{
    // Directories only, largest first (the document is ordered by size).
    size_t shown = 0;
    for (const jr_node &c : dir.children) {
        if (!c.is_dir)
            continue;
        if (shown++ == MAX_CHILDREN)
            break;
        std::string indent((size_t)level * 2, ' ');
        char pct[16];
        snprintf(pct, sizeof pct, "%5.1f%%", 100.0 * share_of(c.size, dir.size));
        size_t room = WIDTH - 2 - 10 - 2 - 6 - 2 - BAR - 2 - indent.size();
        printf("  %s%s%s  %s  %s  %s%s\n", st.cyan(), pad_left(human(c.size), 10).c_str(), st.reset(), pct,
               bar(st, share_of(c.size, dir.size), BAR).c_str(), indent.c_str(),
               fit_right(printable(c.name) + "/", room).c_str());
        if (level + 1 < levels)
            print_dir_rows(st, c, level + 1, levels);
    }
}

int report(const options &o, int id, const style &st)
{
    jr_node root;
    const char *doc = disk_scan_result(id);
    if (!jr_read_tree(doc, o.levels, &root)) {
        fprintf(stderr, "qvdisk: the library gave no scan result%s%s\n", doc ? ": " : "", doc ? doc : "");
        return EXIT_SCAN_FAILED;
    }
    std::vector<jr_node> top, exts;
    if (o.top > 0 && !jr_read_list(disk_get_top(id, o.top), &top))
        top.clear();
    if (o.exts > 0 && !jr_read_list(disk_get_extensions(id), &exts))
        exts.clear();

    printf("%s%s%s\n", st.bold(), fit_left(printable(root.name), WIDTH).c_str(), st.reset());
    printf("  total  %s%s%s (%s bytes)\n", st.cyan(), human(root.size).c_str(), st.reset(),
           grouped(root.size).c_str());
    printf("  files  %s   directories  %s   scanned in %.1f s\n", grouped(root.files).c_str(),
           grouped(root.dirs).c_str(), root.scan_time_ms / 1000.0);

    if (o.levels > 0) {
        printf("\n%sLargest directories%s\n", st.bold(), st.reset());
        bool any = false;
        for (const jr_node &c : root.children)
            any = any || c.is_dir;
        if (any)
            print_dir_rows(st, root, 0, o.levels);
        else
            printf("  (none)\n");
    }
    if (o.top > 0) {
        printf("\n%sLargest files%s\n", st.bold(), st.reset());
        if (top.empty())
            printf("  (none)\n");
        for (const jr_node &f : top)
            printf("  %s%s%s  %s\n", st.cyan(), pad_left(human(f.size), 10).c_str(), st.reset(),
                   fit_left(printable(f.name), WIDTH - 14).c_str());
    }
    if (o.exts > 0) {
        printf("\n%sExtensions%s\n", st.bold(), st.reset());
        if (exts.empty())
            printf("  (none)\n");
        for (size_t i = 0; i < exts.size() && i < (size_t)o.exts; i++) {
            const jr_node &e = exts[i];
            printf("  %-12s %s%s%s  %12s %-5s  %5.1f%%\n", fit_right(printable(e.name), 12).c_str(), st.cyan(),
                   pad_left(human(e.size), 10).c_str(), st.reset(), grouped(e.files).c_str(),
                   e.files == 1 ? "file" : "files", 100.0 * share_of(e.size, root.size));
        }
        if (exts.size() > (size_t)o.exts)
            printf("  %s... and %zu more%s\n", st.dim(), exts.size() - (size_t)o.exts, st.reset());
    }
    return EXIT_OK;
}

void draw_progress(int id, double started)
{
    unsigned long long files = 0, dirs = 0, bytes = 0;
    disk_scan_progress(id, &files, &dirs, &bytes);
    fprintf(stderr, "\r\033[Kscanning  %s files  %s dirs  %s  %.1f s", grouped(files).c_str(),
            grouped(dirs).c_str(), human(bytes).c_str(), now_s() - started);
    fflush(stderr);
}

}  // namespace

int main(int argc, char **argv)
{
    options o;
    int rc = parse_args(argc, argv, &o);
    if (rc != EXIT_OK)
        return rc < 0 ? EXIT_OK : rc;
    rc = check_directory(o.path);
    if (rc != EXIT_OK)
        return rc;

#ifdef _WIN32
    SetConsoleOutputCP(CP_UTF8);
#endif
    style st;
    const char *no_color = getenv("NO_COLOR");
    st.color = isatty(fileno(stdout)) && !(no_color && *no_color);
    st.unicode = st.color;
    bool live = isatty(fileno(stderr)) != 0;

    install_interrupt_handler();
    int id = disk_scan(o.path, o.max_depth, o.follow_links ? 1 : 0);
    if (id < 0) {
        fprintf(stderr, "qvdisk: cannot start a scan\n");
        return EXIT_SCAN_FAILED;
    }
    double started = now_s(), drawn = 0;
    int state;
    while ((state = disk_scan_status(id)) == SCAN_IDLE || state == SCAN_RUNNING) {
        if (g_interrupted)
            break;
        if (live && now_s() - drawn >= 0.2) {
            draw_progress(id, started);
            drawn = now_s();
        }
        sleep_ms(20);
    }
    if (live)
        fprintf(stderr, "\r\033[K");
    restore_interrupt_handler();
    if (g_interrupted) {
        disk_scan_cancel(id);
        disk_free(id);
        fprintf(stderr, "qvdisk: interrupted\n");
        return EXIT_INTERRUPTED;
    }
    if (state != SCAN_DONE) {
        fprintf(stderr, "qvdisk: the scan failed (state %d)\n", state);
        disk_free(id);
        return EXIT_SCAN_FAILED;
    }

    if (o.html) {
        FILE *f = fopen(o.html, "wb");
        bool ok = f && write_treemap_page(f, disk_scan_result(id), disk_get_top(id, o.top > 0 ? o.top : 10),
                                          disk_get_extensions(id));
        if (f && fclose(f) != 0)
            ok = false;
        if (!ok) {
            fprintf(stderr, "qvdisk: cannot write '%s'\n", o.html);
            disk_free(id);
            return EXIT_SCAN_FAILED;
        }
    }
    if (o.json) {
        const char *doc = !strcmp(o.json, "tree") ? disk_scan_result(id)
                          : !strcmp(o.json, "top") ? disk_get_top(id, o.top)
                                                   : disk_get_extensions(id);
        if (!doc) {
            fprintf(stderr, "qvdisk: the library gave no document\n");
            disk_free(id);
            return EXIT_SCAN_FAILED;
        }
        fputs(doc, stdout);
        fputc('\n', stdout);
        // The library's stand-in for a document it could not build.
        rc = strncmp(doc, "{\"error\":", 9) == 0 ? EXIT_SCAN_FAILED : EXIT_OK;
        if (rc != EXIT_OK)
            fprintf(stderr, "qvdisk: the library could not build the document\n");
    } else {
        rc = report(o, id, st);
    }
    disk_free(id);
    if (fflush(stdout) != 0)
        return EXIT_SCAN_FAILED;
    return rc;
}
