#include "scanfile.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "ncduread.h"
#include "ncduwrite.h"
#include "openfile.h"
#include "outfile.h"
#include "scanfeed.h"
#include "settings.h"
#include "termtext.h"

namespace {

// The export in f into a new scan; its id, or -1 with *why.
int import_export(FILE *f, const disk_scan_options &opts, uint64_t *left_out, std::string *why,
                  std::string *root = nullptr)
{
    ncdu_read_options ro;
    ro.links_once = opts.hard_links_once != 0;
    ncdu_read_stats stats;
    scan_builder builder(opts);
    if (!ncdu_read_file(f, ro, builder, why, &stats))
        return -1;
    if (left_out)
        *left_out = stats.left_out;
    if (root)
        *root = builder.root_path();
    return builder.take();
}

}  // namespace

int read_scan_file(const char *file, const disk_scan_options &opts, int *id, uint64_t *left_out, std::string *root)
{
    bool std_in = !strcmp(file, "-");
#ifdef _WIN32
    if (std_in)
        _setmode(_fileno(stdin), _O_BINARY);
#endif
    FILE *f = std_in ? stdin : open_file(file, "rb");
    if (!f) {
        int err = errno;
        fprintf(stderr, "qvdisk: cannot open '%s': %s\n", term_safe(file).c_str(), strerror(err));
        return EXIT_USAGE;
    }
    std::string why;
    *id = import_export(f, opts, left_out, &why, root);
    if (!std_in)
        fclose(f);
    if (*id < 0) {
        fprintf(stderr, "qvdisk: '%s' is not an export qvdisk reads: %s\n",
                std_in ? "standard input" : term_safe(file).c_str(), why.c_str());
        return EXIT_USAGE;
    }
    return EXIT_OK;
}

bool is_export(FILE *f)
{
    unsigned char head[64];
    size_t n = fread(head, 1, sizeof head, f);
    bool was = fseek(f, 0, SEEK_SET) == 0;
    return was && ncdu_sniff(head, n) != ncdu_kind::other;
}

bool read_export_tree(FILE *f, const disk_scan_options &opts, sv_tree *tree, std::string *error)
{
    int id = import_export(f, opts, nullptr, error);
    if (id < 0)
        return false;
    const char *doc = disk_scan_result(id);
    uint64_t merged = 0;
    bool ok = doc && sv_read_scan(doc, strlen(doc), tree, &merged, error);
    if (!doc)
        *error = "the library gave no scan result";
    disk_free(id);
    return ok;
}

int write_export(const char *file, int id)
{
    int64_t now = (int64_t)time(nullptr);
    std::string why;
    auto write = [&](FILE *out) {
        std::unique_ptr<doc_sink> sink = ncdu_writer(out, now);
        return scan_feed(id, *sink, &why);
    };
    bool ok;
    if (!strcmp(file, "-")) {
#ifdef _WIN32
        _setmode(_fileno(stdout), _O_BINARY);
#endif
        ok = write(stdout);
    } else {
        std::string err;
        ok = write_whole(file, write, &err);
        if (!ok && why.empty())
            why = err;
    }
    if (!ok) {
        fprintf(stderr, "qvdisk: cannot write the export to '%s': %s\n", term_safe(file).c_str(), why.c_str());
        return EXIT_SCAN_FAILED;
    }
    return EXIT_OK;
}
