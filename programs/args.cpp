#include "args.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
            "options:\n"
            "  --json tree|top|ext  print that JSON document as the library returns it\n"
            "  --json diff          with --since or --compare: the comparison as JSON\n"
            "  --html FILE          also write an interactive treemap page to FILE (with\n"
            "                       --since or --compare: coloured by growth)\n"
            "  --save FILE          also write the scan (as --json tree prints it) to FILE\n"
            "  --since FILE         compare the scan with the scan saved in FILE\n"
            "  --compare OLD NEW    compare two saved scans; no scan\n"
            "  --max-depth N        list at most N levels below PATH (default: no limit)\n"
            "  --follow-links       count symbolic links as what they point to\n"
            "  --top N              largest files to show (default 10)\n"
            "  --levels N           levels of the directory trees to show (default 2, at most 10)\n"
            "  --exts N             extensions to show (default 10)\n"
            "  --help               this text\n"
            "  --version            the version\n"
            "\n"
            "Colour is used only on a terminal, and never when NO_COLOR is set.\n"
            "\n"
            "exit status:\n"
            "  0    the report was written; what the scan could not read or did not enter\n"
            "       is counted in one warning line on stderr\n"
            "  1    the scan failed or gave no document, or FILE could not be written\n"
            "  2    bad usage, PATH is missing, unreadable or not a directory, or a saved\n"
            "       scan cannot be read\n"
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

}  // namespace

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
            if (!v || (strcmp(v, "tree") && strcmp(v, "top") && strcmp(v, "ext") && strcmp(v, "diff"))) {
                fprintf(stderr, "qvdisk: --json needs tree, top, ext or diff\n");
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
        } else if (!strcmp(a, "--save") || !strcmp(a, "--since")) {
            if (!v) {
                fprintf(stderr, "qvdisk: %s needs a file name\n", a);
                return EXIT_USAGE;
            }
            (a[3] == 'a' ? o->save : o->since) = v;
            i++;
        } else if (!strcmp(a, "--compare")) {
            if (!v || i + 2 >= argc) {
                fprintf(stderr, "qvdisk: --compare needs two file names\n");
                return EXIT_USAGE;
            }
            o->compare_old = v;
            o->compare_new = argv[i + 2];
            i += 2;
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
    bool comparing = o->since || o->compare_old;
    const char *clash = o->compare_old && o->path    ? "--compare takes no PATH"
                        : o->compare_old && o->since ? "--compare and --since do not go together"
                        : o->compare_old && o->save  ? "--save needs a scan, which --compare does not make"
                        : o->json && comparing && strcmp(o->json, "diff") ? "--json with --since or --compare is --json diff"
                        : o->json && !comparing && !strcmp(o->json, "diff") ? "--json diff needs --since or --compare"
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
