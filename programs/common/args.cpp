#include "args.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "quorvel_disk.h"

#ifndef QVDISK_VERSION
#define QVDISK_VERSION "0.0.0"
#endif

namespace {

void usage(FILE *out)
{
    fprintf(out,
            "usage: qvdisk PATH [options]\n"
            "       qvdisk --compare OLD NEW [options]\n"
            "Scans the directory PATH and reports its size, its largest directories and\n"
            "files, and the space taken by each file extension; or compares the scan with\n"
            "a saved one, or two saved scans, and reports what grew.\n"
            "\n"
            "Sizes are the space files take on disk, a hard-linked file counted once, as\n"
            "du shows them; directories themselves count 0.\n"
            "\n"
            "options:\n"
            "  --json tree|top|ext  print that JSON document as the library returns it\n"
            "  --json diff          with --since or --compare: the comparison as JSON\n"
            "  --html FILE          also write an interactive treemap page to FILE (with\n"
            "                       --since or --compare: coloured by growth)\n"
            "  --save FILE          also write the scan (as --json tree prints it) to FILE\n"
            "  --since FILE         compare the scan with the scan saved in FILE\n"
            "  --compare OLD NEW    compare two saved scans; no scan\n"
            "  --apparent-size, -b  count file lengths (sparse files in full) instead\n"
            "  --count-links, -l    count a hard-linked file under each of its names\n"
            "  --one-file-system, -x  do not enter directories on other file systems\n"
            "  --exclude PATTERN    leave out what PATTERN matches (shell pattern, as du;\n"
            "                       repeatable)\n"
            "  --exclude-from FILE  --exclude each line of FILE ('-': standard input)\n"
            "  --exclude-caches     do not enter directories holding a CACHEDIR.TAG\n"
            "  --max-depth N        list at most N levels below PATH (default: no limit)\n"
            "  --follow-links, -L   count symbolic links as what they point to\n"
            "  --stall-timeout S    give up on a directory whose storage has not answered for\n"
            "                       S seconds, e.g. 0.5 (default %d; 0: wait for ever)\n"
            "  --top N              largest files to show (default 10)\n"
            "  --levels N           levels of the directory trees to show (default 2, at most 10)\n"
            "  --exts N             extensions to show (default 10)\n"
            "  -i, --interactive    browse the scan in the terminal (keys: ? in the browser)\n"
            "  --read-only          with -i: no deleting\n"
            "  --help               this text\n"
            "  --version            the version\n"
            "\n"
            "Colour is used only on a terminal, and never when NO_COLOR is set.\n"
            "\n"
            "exit status:\n"
            "  0    the report was written; what the scan could not read, gave up on or\n"
            "       did not enter is counted in one warning line on stderr\n"
            "  1    the scan failed or gave no document, or FILE could not be written\n"
            "  2    bad usage, PATH is missing, unreadable or not a directory, or a saved\n"
            "       scan cannot be read\n"
            "  130  interrupted (Ctrl-C), also while the storage does not answer\n",
            DISK_STALL_TIMEOUT_MS / 1000);
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

// Seconds as --stall-timeout takes them ("30", "0.5", ".25"; no sign, no
// exponent), up to max_s, in milliseconds: rounded, and at least 1 for any
// time above 0, which must not read as 0 (the library's default).
bool parse_seconds(const char *s, int max_s, int *ms)
{
    if (!s || strspn(s, "0123456789.") != strlen(s) || strspn(s, ".") == strlen(s) ||
        strchr(s, '.') != strrchr(s, '.'))
        return false;
    double v = strtod(s, nullptr);
    if (v > max_s)
        return false;
    long long m = llround(v * 1000.0);
    *ms = (int)(v > 0 && m == 0 ? 1 : m);
    return true;
}

// Adds the patterns of file (one a line, "-" for standard input) as du
// --exclude-from does: trailing white space is dropped, and lines left empty
// are skipped.
bool read_patterns(const char *file, std::vector<std::string> *out)
{
    bool use_stdin = !strcmp(file, "-");
    FILE *f = use_stdin ? stdin : fopen(file, "r");
    if (!f) {
        fprintf(stderr, "qvdisk: cannot read '%s': %s\n", file, strerror(errno));
        return false;
    }
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    bool ok = !ferror(f);
    int err = errno;
    if (!use_stdin)
        fclose(f);
    if (!ok) {
        fprintf(stderr, "qvdisk: cannot read '%s': %s\n", file, strerror(err));
        return false;
    }
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        size_t cut = end;
        while (cut > at && strchr(" \t\r\v\f", text[cut - 1]))
            cut--;
        if (cut > at)
            out->push_back(text.substr(at, cut - at));
        at = end + 1;
    }
    return true;
}

// The options without a value, also as single letters that may be bundled
// ("-xb").
bool set_flag(options *o, const char *name)
{
    bool *flag = nullptr;
    if (!strcmp(name, "--follow-links") || !strcmp(name, "-L"))
        flag = &o->follow_links;
    else if (!strcmp(name, "--apparent-size") || !strcmp(name, "--bytes") || !strcmp(name, "-b"))
        flag = &o->apparent_size;
    else if (!strcmp(name, "--count-links") || !strcmp(name, "-l"))
        flag = &o->count_links;
    else if (!strcmp(name, "--one-file-system") || !strcmp(name, "-x"))
        flag = &o->one_file_system;
    else if (!strcmp(name, "--exclude-caches"))
        flag = &o->exclude_caches;
    else if (!strcmp(name, "--interactive") || !strcmp(name, "-i"))
        flag = &o->interactive;
    else if (!strcmp(name, "--read-only"))
        flag = &o->read_only;
    if (flag)
        *flag = true;
    return flag != nullptr;
}

bool set_short_flags(options *o, const char *arg)
{
    for (const char *c = arg + 1; *c; c++) {
        char one[3] = {'-', *c, '\0'};
        if (!set_flag(o, one))
            return false;
    }
    return true;
}

}  // namespace

int parse_args(int argc, char **argv, options *o)
{
    for (int i = 1; i < argc; i++) {
        // "--name=value" stands for "--name value".
        std::string name = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        bool joined = false;
        size_t eq = name.find('=');
        if (name.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            v = argv[i] + eq + 1;
            name.resize(eq);
            joined = true;
        }
        const char *a = name.c_str();
        auto took_value = [&]() {
            if (!joined)
                i++;
        };
        auto need_int = [&](int lo, int hi, int *out) {
            if (!parse_int(v, lo, hi, out)) {
                fprintf(stderr, "qvdisk: %s needs a number from %d to %d\n", a, lo, hi);
                return false;
            }
            took_value();
            return true;
        };
        auto need_text = [&](const char *what) {
            if (!v || !*v) {
                fprintf(stderr, "qvdisk: %s needs %s\n", a, what);
                return false;
            }
            took_value();
            return true;
        };
        if (joined && (set_flag(o, a) || !strcmp(a, "--help") || !strcmp(a, "--version"))) {
            fprintf(stderr, "qvdisk: %s takes no value\n", a);
            return EXIT_USAGE;
        }
        if (!strcmp(a, "--help") || !strcmp(a, "-h")) {
            usage(stdout);
            return -1;
        } else if (!strcmp(a, "--version")) {
            printf("qvdisk %s\n", QVDISK_VERSION);
            return -1;
        } else if (!strcmp(a, "--json")) {
            if (!v || (strcmp(v, "tree") && strcmp(v, "top") && strcmp(v, "ext") && strcmp(v, "diff"))) {
                fprintf(stderr, "qvdisk: --json needs tree, top, ext or diff\n");
                return EXIT_USAGE;
            }
            o->json = v;
            took_value();
        } else if (!strcmp(a, "--html")) {
            if (!need_text("a file name"))
                return EXIT_USAGE;
            o->html = v;
        } else if (!strcmp(a, "--save") || !strcmp(a, "--since")) {
            if (!need_text("a file name"))
                return EXIT_USAGE;
            (a[3] == 'a' ? o->save : o->since) = v;
        } else if (!strcmp(a, "--compare")) {
            if (!v || joined || i + 2 >= argc) {
                fprintf(stderr, "qvdisk: --compare needs two file names\n");
                return EXIT_USAGE;
            }
            o->compare_old = v;
            o->compare_new = argv[i + 2];
            i += 2;
        } else if (!strcmp(a, "--exclude")) {
            if (!need_text("a pattern"))
                return EXIT_USAGE;
            o->excludes.push_back(v);
        } else if (!strcmp(a, "--exclude-from")) {
            if (!need_text("a file name"))
                return EXIT_USAGE;
            o->exclude_files.push_back(v);
        } else if (!strcmp(a, "--stall-timeout")) {
            int ms = 0;
            if (!parse_seconds(v, 1000000, &ms)) {
                fprintf(stderr, "qvdisk: --stall-timeout needs seconds from 0 to 1000000 (0: wait for ever)\n");
                return EXIT_USAGE;
            }
            o->stall_timeout_ms = ms == 0 ? DISK_STALL_WAIT_FOREVER : ms;
            took_value();
        } else if (!strcmp(a, "--max-depth")) {
            if (!need_int(0, 1000000, &o->max_depth))
                return EXIT_USAGE;
        } else if (set_flag(o, a)) {
        } else if (!strcmp(a, "--top")) {
            if (!need_int(0, 1000000, &o->top))
                return EXIT_USAGE;
        } else if (!strcmp(a, "--levels")) {
            if (!need_int(0, 10, &o->levels))
                return EXIT_USAGE;
        } else if (!strcmp(a, "--exts")) {
            if (!need_int(0, 1000000, &o->exts))
                return EXIT_USAGE;
        } else if (a[0] == '-' && a[1] != '-' && a[1] != '\0' && set_short_flags(o, a)) {
        } else if (a[0] == '-' && a[1] != '\0') {
            fprintf(stderr, "qvdisk: unknown option %s (see --help)\n", a);
            return EXIT_USAGE;
        } else if (!o->path) {
            o->path = argv[i];
        } else {
            fprintf(stderr, "qvdisk: one PATH only (see --help)\n");
            return EXIT_USAGE;
        }
    }
    bool comparing = o->since || o->compare_old;
    const char *clash = o->compare_old && o->path    ? "--compare takes no PATH"
                        : o->compare_old && o->since ? "--compare and --since do not go together"
                        : o->compare_old && o->save  ? "--save needs a scan, which --compare does not make"
                        : o->json && comparing && strcmp(o->json, "diff") ? "--json with --since or --compare is --json diff"
                        : o->json && !comparing && !strcmp(o->json, "diff") ? "--json diff needs --since or --compare"
                        : o->interactive && (o->json || o->html || o->save || comparing)
                            ? "-i shows the scan in the terminal: no --json, --html, --save, --since or --compare"
                        : o->read_only && !o->interactive ? "--read-only goes with -i"
                                                          : nullptr;
    if (clash) {
        fprintf(stderr, "qvdisk: %s (see --help)\n", clash);
        return EXIT_USAGE;
    }
    if (!o->path && !o->compare_old) {
        usage(stderr);
        return EXIT_USAGE;
    }
    return EXIT_OK;
}

int read_exclude_files(options *o)
{
    for (const std::string &file : o->exclude_files)
        if (!read_patterns(file.c_str(), &o->excludes))
            return EXIT_USAGE;
    return EXIT_OK;
}
