#include "args.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <tuple>

#include "age.h"
#include "openfile.h"
#include "quorvel_disk.h"
#include "termtext.h"

#ifndef QVDISK_VERSION
#define QVDISK_VERSION "0.0.0"
#endif

namespace {

// What follows an option's name.
enum class takes {
    nothing,     // a flag; one letter ones may be bundled ("-xb")
    text,        // one value, not empty, kept as given
    texts,       // as text; every one is kept
    number,      // a whole number from lo to hi
    choice,      // one of the words of choices
    seconds,     // seconds with decimals up to hi; 0 is "for ever"
    two_files,   // --compare OLD NEW: two values, never joined with "="
    help,
    version,
    note,        // not an option: one more --help line for the row above
};

// One row per option: it is parsed as the row says and shown by --help in
// the table's order, so that nothing is taken that --help does not tell,
// and nothing told that is not taken.
struct opt {
    takes kind;
    const char *names;            // "--apparent-size|-b", shown so by --help
    const char *value = nullptr;  // its value as --help names it
    std::string help;             // "\n" goes on under the text above
    const char *hidden = nullptr; // one more name, taken but not shown
    bool options::*flag = nullptr;
    const char *options::*text = nullptr;
    const char *options::*second = nullptr;  // two_files: where the other goes
    std::vector<std::string> options::*texts = nullptr;
    int options::*number = nullptr;
    int lo = 0, hi = 0;
    const char *needs = nullptr;    // text, texts: what a missing value is
    const char *choices = nullptr;  // choice: "tree|top|ext|diff"
};

const opt OPTIONS[] = {
    {.kind = takes::choice, .names = "--json", .value = "tree|top|ext",
     .help = "print that JSON document as the library returns it", .text = &options::json,
     .choices = "tree|top|ext|diff"},
    {.kind = takes::note, .names = "--json diff", .help = "with --since or --compare: the comparison as JSON"},
    {.kind = takes::text, .names = "--html", .value = "FILE",
     .help = "also write an interactive treemap page to FILE (with\n--since or --compare: coloured by growth)",
     .text = &options::html, .needs = "a file name"},
    {.kind = takes::text, .names = "--save", .value = "FILE",
     .help = "also write the scan (as --json tree prints it) to FILE", .text = &options::save,
     .needs = "a file name"},
    {.kind = takes::text, .names = "--since", .value = "FILE", .help = "compare the scan with the scan saved in FILE",
     .text = &options::since, .needs = "a file name"},
    {.kind = takes::two_files, .names = "--compare", .value = "OLD NEW", .help = "compare two saved scans; no scan",
     .text = &options::compare_old, .second = &options::compare_new},
    {.kind = takes::text, .names = "-f", .value = "FILE",
     .help = "read a scan from FILE instead of scanning: ncdu's export\nformat, as ncdu -o, gdu -o and --export write it, zstd\ncompressed or not ('-': standard input)",
     .text = &options::import_file, .needs = "a file name"},
    {.kind = takes::text, .names = "--export", .value = "FILE",
     .help = "also write the scan in ncdu's export format to FILE\n('-': standard output, instead of the report)",
     .text = &options::export_file, .needs = "a file name"},
    {.kind = takes::text, .names = "--table", .value = "FILE",
     .help = "also write one row per entry to FILE: FILE.sqlite (a\ndatabase many scans share), FILE.csv or FILE.ndjson\n('-': CSV on standard output, instead of the report)",
     .text = &options::table_file, .needs = "a file name"},
    {.kind = takes::nothing, .names = "--apparent-size|-b", .help = "count file lengths (sparse files in full) instead",
     .hidden = "--bytes", .flag = &options::apparent_size},
    {.kind = takes::nothing, .names = "--count-links|-l", .help = "count a hard-linked file under each of its names",
     .flag = &options::count_links},
    {.kind = takes::nothing, .names = "--one-file-system|-x", .help = "do not enter directories on other file systems",
     .flag = &options::one_file_system},
    {.kind = takes::texts, .names = "--exclude", .value = "PATTERN",
     .help = "leave out what PATTERN matches (shell pattern, as du;\nrepeatable)", .texts = &options::excludes,
     .needs = "a pattern"},
    {.kind = takes::texts, .names = "--exclude-from", .value = "FILE",
     .help = "--exclude each line of FILE ('-': standard input)", .texts = &options::exclude_files,
     .needs = "a file name"},
    {.kind = takes::nothing, .names = "--exclude-caches", .help = "do not enter directories holding a CACHEDIR.TAG",
     .flag = &options::exclude_caches},
    {.kind = takes::number, .names = "--max-depth", .value = "N",
     .help = "list at most N levels below PATH (default: no limit)", .number = &options::max_depth, .lo = 0,
     .hi = 1000000},
    {.kind = takes::nothing, .names = "--follow-links|-L", .help = "count symbolic links as what they point to",
     .flag = &options::follow_links},
    {.kind = takes::seconds, .names = "--stall-timeout", .value = "S",
     .help = "give up on a directory whose storage has not answered for\nS seconds, e.g. 0.5 (default " +
             std::to_string(DISK_STALL_TIMEOUT_MS / 1000) + "; 0: wait for ever)",
     .number = &options::stall_timeout_ms, .hi = 1000000},
    {.kind = takes::number, .names = "--top", .value = "N", .help = "largest files to show (default 10)",
     .number = &options::top, .lo = 0, .hi = 1000000},
    {.kind = takes::number, .names = "--levels", .value = "N",
     .help = "levels of the directory trees to show (default 2, at most 10)", .number = &options::levels, .lo = 0,
     .hi = 10},
    {.kind = takes::number, .names = "--exts", .value = "N", .help = "extensions to show (default 10)",
     .number = &options::exts, .lo = 0, .hi = 1000000},
    {.kind = takes::nothing, .names = "-i|--interactive",
     .help = "browse the scan in the terminal (keys: ? in the browser)", .flag = &options::interactive},
    {.kind = takes::nothing, .names = "--read-only", .help = "with -i: no deleting", .flag = &options::read_only},
    {.kind = takes::nothing, .names = "--no-trash", .help = "with -i: delete for good instead of to the trash",
     .flag = &options::no_trash},
    {.kind = takes::nothing, .names = "--extended|-e", .help = "keep and show modification times, owners and modes",
     .flag = &options::extended},
    {.kind = takes::text, .names = "--older-than", .value = "AGE",
     .help = "only files modified before AGE ago (30d, 12h, 2w, 1y) or a date (2024-01-31)", .text = &options::older_than,
     .needs = "an age or a date"},
    {.kind = takes::text, .names = "--newer-than", .value = "AGE", .help = "only files modified since AGE ago or a date",
     .text = &options::newer_than, .needs = "an age or a date"},
    {.kind = takes::nothing, .names = "--mounts",
     .help = "list the mounted file systems, largest first as qvdisk\nlists everything (-b: sizes in bytes; -i: choose one and\nscan it, with the other options given)",
     .flag = &options::mounts},
    {.kind = takes::help, .names = "--help", .help = "this text", .hidden = "-h"},
    {.kind = takes::version, .names = "--version", .help = "the version"},
};

const char USAGE_HEAD[] =
    "usage: qvdisk PATH... [options]\n"
    "       qvdisk --compare OLD NEW [options]\n"
    "       qvdisk -f FILE [options]\n"
    "       qvdisk --mounts [-i] [options]\n"
    "Scans the directory PATH (or reads a scan from FILE) and reports its size,\n"
    "its largest directories and files, and the space taken by each file\n"
    "extension; or compares the scan with a saved one, or two saved scans, and\n"
    "reports what grew. Several PATHs (up to 31) are scanned at once and shown\n"
    "as one tree: a root of no name, each PATH below it by its name as given,\n"
    "a file they share counted once, a PATH inside another counted as its own.\n"
    "\n"
    "Sizes are the space files take on disk, a hard-linked file counted once, as\n"
    "du shows them; directories themselves count 0.\n"
    "\n"
    "options:\n";

const char USAGE_TAIL[] =
    "\n"
    "Colour is used only on a terminal, and never when NO_COLOR is set.\n"
    "\n"
    "exit status:\n"
    "  0    the report was written; what the scan could not read, gave up on or\n"
    "       did not enter is counted in one warning line on stderr\n"
    "  1    the scan failed or gave no document, or FILE could not be written\n"
    "  2    bad usage, PATH is missing, unreadable or not a directory, or a saved\n"
    "       scan cannot be read\n"
    "  130  interrupted (Ctrl-C), also while the storage does not answer\n";

// Where the texts of --help begin, and the widest names that fit before.
const size_t HELP_COLUMN = 23;

// Whether name is one of the '|'-separated words of list.
bool in_list(const char *list, const std::string &name)
{
    if (!list)
        return false;
    for (const char *p = list;;) {
        const char *end = strchr(p, '|');
        size_t n = end ? (size_t)(end - p) : strlen(p);
        if (name.size() == n && name.compare(0, n, p, n) == 0)
            return true;
        if (!end)
            return false;
        p = end + 1;
    }
}

const opt *find_option(const std::string &name)
{
    for (const opt &o : OPTIONS)
        if (o.kind != takes::note && (in_list(o.names, name) || in_list(o.hidden, name)))
            return &o;
    return nullptr;
}

std::string usage_label(const opt &o)
{
    std::string label = o.names;
    if (o.kind != takes::note)
        for (size_t bar; (bar = label.find('|')) != std::string::npos;)
            label.replace(bar, 1, ", ");
    if (o.value)
        label.append(" ").append(o.value);
    return label;
}

void usage(FILE *out)
{
    std::string text = USAGE_HEAD;
    for (const opt &o : OPTIONS) {
        std::string line = "  " + usage_label(o);
        line.append(line.size() + 2 <= HELP_COLUMN ? HELP_COLUMN - line.size() : 2, ' ');
        for (char c : o.help)
            line += c == '\n' ? "\n" + std::string(HELP_COLUMN, ' ') : std::string(1, c);
        text += line + "\n";
    }
    text += USAGE_TAIL;
    fputs(text.c_str(), out);
}

// "tree|top|ext|diff" as "tree, top, ext or diff".
std::string choice_list(const char *choices)
{
    std::string out = choices;
    size_t bar = out.rfind('|');
    if (bar != std::string::npos)
        out.replace(bar, 1, " or ");
    while ((bar = out.find('|')) != std::string::npos)
        out.replace(bar, 1, ", ");
    return out;
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
    FILE *f = use_stdin ? stdin : open_file(file, "r");
    if (!f) {
        fprintf(stderr, "qvdisk: cannot read '%s': %s\n", term_safe(file).c_str(), strerror(errno));
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
        fprintf(stderr, "qvdisk: cannot read '%s': %s\n", term_safe(file).c_str(), strerror(err));
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

// "-xb": every letter a flag of its own; false if one is not.
bool set_short_flags(options *o, const char *arg)
{
    for (const char *c = arg + 1; *c; c++) {
        const opt *f = find_option(std::string{'-', *c});
        if (!f || f->kind != takes::nothing)
            return false;
        o->*f->flag = true;
    }
    return true;
}

// The argument at argv[*i], an option named name, its value v (the next
// argument, or what followed "=" when joined). Moves *i past what it took;
// EXIT_OK, EXIT_USAGE once said why, -1 once --help or --version answered.
int take(const opt &op, const char *name, const char *v, bool joined, int argc, char **argv, int *i, options *o)
{
    auto need = [name](const std::string &what) {
        fprintf(stderr, "qvdisk: %s needs %s\n", name, what.c_str());
        return EXIT_USAGE;
    };
    if (joined && (op.kind == takes::nothing || op.kind == takes::help || op.kind == takes::version)) {
        fprintf(stderr, "qvdisk: %s takes no value\n", name);
        return EXIT_USAGE;
    }
    switch (op.kind) {
    case takes::nothing:
        o->*op.flag = true;
        return EXIT_OK;
    case takes::help:
        usage(stdout);
        return -1;
    case takes::version:
        printf("qvdisk %s\n", QVDISK_VERSION);
        return -1;
    case takes::text:
    case takes::texts:
        if (!v || !*v)
            return need(op.needs);
        if (op.text)
            o->*op.text = v;
        else
            (o->*op.texts).push_back(v);
        break;
    case takes::choice:
        if (!v || !in_list(op.choices, v))
            return need(choice_list(op.choices));
        o->*op.text = v;
        break;
    case takes::number:
        if (!parse_int(v, op.lo, op.hi, &(o->*op.number)))
            return need("a number from " + std::to_string(op.lo) + " to " + std::to_string(op.hi));
        break;
    case takes::seconds: {
        int ms = 0;
        if (!parse_seconds(v, op.hi, &ms))
            return need("seconds from 0 to " + std::to_string(op.hi) + " (0: wait for ever)");
        o->*op.number = ms == 0 ? DISK_STALL_WAIT_FOREVER : ms;
        break;
    }
    case takes::two_files:
        if (!v || joined || *i + 2 >= argc)
            return need("two file names");
        o->*op.text = v;
        o->*op.second = argv[*i + 2];
        *i += 2;
        return EXIT_OK;
    case takes::note:
        break;
    }
    if (!joined)
        ++*i;
    return EXIT_OK;
}

// The moments --older-than and --newer-than name.
int read_ages(options *o)
{
    int64_t now = (int64_t)time(nullptr);
    for (auto [text, at, name] : {std::tuple{o->older_than, &o->older_at, "--older-than"},
                                  std::tuple{o->newer_than, &o->newer_at, "--newer-than"}}) {
        if (!text)
            continue;
        if (!parse_age(text, now, at)) {
            fprintf(stderr, "qvdisk: %s needs an age (30d, 12h, 90m, 2w, 1y) or a date (2024-01-31, "
                            "2024-01-31 08:00), not '%s'\n", name, term_safe(text).c_str());
            return EXIT_USAGE;
        }
    }
    if (o->older_than && o->newer_than && o->newer_at >= o->older_at) {
        fprintf(stderr, "qvdisk: no file can be modified before %s and since %s\n", term_safe(o->older_than).c_str(),
                term_safe(o->newer_than).c_str());
        return EXIT_USAGE;
    }
    return EXIT_OK;
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
        if (const opt *op = find_option(name)) {
            if (int rc = take(*op, a, v, joined, argc, argv, &i, o); rc != EXIT_OK)
                return rc;
        } else if (a[0] == '-' && a[1] != '-' && a[1] != '\0' && set_short_flags(o, a)) {
        } else if (a[0] == '-' && a[1] != '\0') {
            fprintf(stderr, "qvdisk: unknown option %s (see --help)\n", term_safe(a).c_str());
            return EXIT_USAGE;
        } else if (o->paths.size() < MAX_ROOTS) {
            o->paths.push_back(argv[i]);
            o->path = o->paths.front();
        } else {
            fprintf(stderr, "qvdisk: at most %zu PATHs (see --help)\n", MAX_ROOTS);
            return EXIT_USAGE;
        }
    }
    bool comparing = o->since || o->compare_old;
    bool walk_options = o->one_file_system || !o->excludes.empty() || !o->exclude_files.empty() ||
                        o->exclude_caches || o->max_depth > 0 || o->follow_links || o->stall_timeout_ms != 0;
    bool export_out = o->export_file && !strcmp(o->export_file, "-");
    bool table_out = o->table_file && !strcmp(o->table_file, "-");
    const char *clash = o->mounts && o->path ? "--mounts lists the mounted file systems: no PATH (with -i, choose one)"
                        : o->mounts && (o->import_file || o->compare_old || o->since)
                            ? "--mounts lists the mounted file systems: no -f, --compare or --since"
                        : o->mounts && (o->json || o->html || o->save || o->export_file || o->table_file)
                            ? "--mounts prints a table: no --json, --html, --save, --export or --table"
                        : o->import_file && o->path ? "-f reads the scan from FILE: no PATH"
                        : o->import_file && o->compare_old ? "-f and --compare do not go together"
                        : o->import_file && walk_options
                            ? "-x, -L, --exclude, --exclude-from, --exclude-caches, --max-depth and --stall-timeout "
                              "choose how PATH is walked: not with -f"
                        : o->compare_old && (o->export_file || o->table_file)
                            ? "--export and --table need a scan, which --compare does not make"
                        : export_out && table_out ? "--export - and --table - both write to standard output"
                        : (export_out || table_out) && o->json
                            ? "--json and --export - or --table - both write to standard output"
                        : o->compare_old && o->path    ? "--compare takes no PATH"
                        : o->compare_old && o->since ? "--compare and --since do not go together"
                        : o->compare_old && o->save  ? "--save needs a scan, which --compare does not make"
                        : o->json && comparing && strcmp(o->json, "diff") ? "--json with --since or --compare is --json diff"
                        : o->json && !comparing && !strcmp(o->json, "diff") ? "--json diff needs --since or --compare"
                        : o->interactive && (o->json || o->html || o->save || comparing)
                            ? "-i shows the scan in the terminal: no --json, --html, --save, --since or --compare"
                        : o->interactive && (o->export_file || o->table_file)
                            ? "-i shows the scan in the terminal: no --export or --table"
                        : o->read_only && !o->interactive ? "--read-only goes with -i"
                        : (o->older_than || o->newer_than) && (o->interactive || o->compare_old || o->mounts)
                            ? "--older-than and --newer-than choose the files of a scan's report: not with -i, "
                              "--compare or --mounts"
                                                          : nullptr;
    if (clash) {
        fprintf(stderr, "qvdisk: %s (see --help)\n", clash);
        return EXIT_USAGE;
    }
    if (!o->path && !o->compare_old && !o->import_file && !o->mounts) {
        usage(stderr);
        return EXIT_USAGE;
    }
    return read_ages(o);
}

int read_exclude_files(options *o)
{
    for (const std::string &file : o->exclude_files)
        if (!read_patterns(file.c_str(), &o->excludes))
            return EXIT_USAGE;
    return EXIT_OK;
}
