#include "diffreport.h"

#include <cstdio>
#include <string>

#include "format.h"
#include "termtext.h"

namespace {

const int WIDTH = 80;
const int BAR = 16;

std::string signed_human(uint64_t old_size, uint64_t new_size)
{
    if (old_size == new_size)
        return "0 B";
    std::string out = new_size > old_size ? "+" : "-";
    return out + human(new_size > old_size ? new_size - old_size : old_size - new_size);
}

std::string signed_count(uint64_t old_n, uint64_t new_n)
{
    if (old_n == new_n)
        return "0";
    std::string out = new_n > old_n ? "+" : "-";
    return out + grouped(new_n > old_n ? new_n - old_n : old_n - new_n);
}

std::string duration(double s)
{
    char buf[64];
    long long t = (long long)(s + 0.5);
    if (t < 60)
        snprintf(buf, sizeof buf, "%lld s", t);
    else if (t < 3600)
        snprintf(buf, sizeof buf, "%lld min %lld s", t / 60, t % 60);
    else if (t < 86400)
        snprintf(buf, sizeof buf, "%lld h %lld min", t / 3600, t / 60 % 60);
    else
        snprintf(buf, sizeof buf, "%lld d %lld h", t / 86400, t / 3600 % 24);
    return buf;
}

std::string bar(const style &st, double share)
{
    int full = (int)(share * BAR + 0.5);
    if (full > BAR)
        full = BAR;
    std::string out = st.green();
    for (int i = 0; i < BAR; i++) {
        if (i == full)
            out += st.dim();
        out += i < full ? (st.unicode ? "\u2588" : "#") : (st.unicode ? "\u2591" : ".");
    }
    return out + st.reset();
}

void print_dirs(const style &st, const std::vector<cmp_dir> &dirs, uint64_t whole, int level)
{
    for (const cmp_dir &d : dirs) {
        uint64_t amount = d.new_size > d.old_size ? d.new_size - d.old_size : d.old_size - d.new_size;
        double share = whole ? (double)amount / (double)whole : 0;
        char pct[16];
        snprintf(pct, sizeof pct, "%5.1f%%", 100.0 * share);
        std::string indent((size_t)level * 2, ' ');
        std::string mark = d.is_new ? " (new)" : d.is_gone ? " (gone)" : "";
        size_t room = WIDTH - 2 - 11 - 2 - 6 - 2 - BAR - 2 - indent.size() - mark.size();
        printf("  %s%s%s  %s  %s  %s%s%s\n", st.cyan(), pad_left(signed_human(d.old_size, d.new_size), 11).c_str(),
               st.reset(), pct, bar(st, share).c_str(), indent.c_str(), fit_right(term_safe(d.name) + "/", room).c_str(),
               mark.c_str());
        print_dirs(st, d.children, whole, level + 1);
    }
}

void print_items(const style &st, const char *title, uint64_t count, const std::vector<cmp_item> &items, bool change)
{
    printf("\n%s%s%s (%s)\n", st.bold(), title, st.reset(), grouped(count).c_str());
    if (items.empty())
        printf("  (none)\n");
    for (const cmp_item &it : items) {
        std::string amount = change ? signed_human(it.old_size, it.new_size)
                                    : human(it.new_size ? it.new_size : it.old_size);
        std::string tail = change ? "  (was " + human(it.old_size) + ")" : it.is_dir ? "/" : "";
        printf("  %s%s%s  %s%s\n", st.cyan(), pad_left(amount, 11).c_str(), st.reset(),
               fit_left(term_safe(it.path), WIDTH - 15 - tail.size()).c_str(), tail.c_str());
    }
    if (count > items.size())
        printf("  %s... and %s more%s\n", st.dim(), grouped(count - items.size()).c_str(), st.reset());
}

std::string json_dirs(const std::vector<cmp_dir> &dirs)
{
    std::string out = "[";
    for (const cmp_dir &d : dirs) {
        if (out.size() > 1)
            out += ",";
        out += "{\"name\":" + sv_quote(d.name) + ",\"old_size\":" + std::to_string(d.old_size) +
               ",\"new_size\":" + std::to_string(d.new_size) + ",\"change\":" + signed_diff(d.old_size, d.new_size) +
               ",\"status\":\"" + (d.is_new ? "new" : d.is_gone ? "gone" : "changed") + "\"";
        if (!d.children.empty())
            out += ",\"children\":" + json_dirs(d.children);
        out += "}";
    }
    return out + "]";
}

std::string json_items(uint64_t count, const std::vector<cmp_item> &items, bool change)
{
    std::string out = "{\"count\":" + std::to_string(count) + ",\"largest\":[";
    for (size_t i = 0; i < items.size(); i++) {
        const cmp_item &it = items[i];
        out += (i ? ",{\"path\":" : "{\"path\":") + sv_quote(it.path);
        if (change)
            out += ",\"old_size\":" + std::to_string(it.old_size) + ",\"new_size\":" + std::to_string(it.new_size) +
                   ",\"change\":" + signed_diff(it.old_size, it.new_size) + "}";
        else
            out += ",\"size\":" + std::to_string(it.new_size ? it.new_size : it.old_size) +
                   ",\"is_dir\":" + (it.is_dir ? "true}" : "false}");
    }
    return out + "]}";
}

std::string json_scan(const sv_tree &t)
{
    return "{\"path\":" + sv_quote(t.path) + ",\"total_size\":" + std::to_string(t.entries[0].size) +
           ",\"total_files\":" + std::to_string(t.entries[0].files) + ",\"total_dirs\":" + std::to_string(t.total_dirs) + "}";
}

}  // namespace

void print_diff_report(const options &o, const diff_input &in, const cmp_result &r, const style &st)
{
    const sv_tree &a = *in.older, &b = *in.newer;
    const sv_entry &ra = a.entries[0], &rb = b.entries[0];
    printf("%s%s%s\n", st.bold(), fit_left(term_safe(b.path), WIDTH).c_str(), st.reset());
    if (a.path != b.path)
        printf("  compared with %s\n", fit_left(term_safe(a.path), WIDTH - 16).c_str());
    printf("  %-6s %16s %16s %16s\n", "", "then", "now", "change");
    printf("  %-6s %16s %16s %s%16s%s\n", "total", human(ra.size).c_str(), human(rb.size).c_str(), st.cyan(),
           signed_human(ra.size, rb.size).c_str(), st.reset());
    printf("  %-6s %16s %16s %16s\n", "bytes", grouped(ra.size).c_str(), grouped(rb.size).c_str(),
           signed_count(ra.size, rb.size).c_str());
    printf("  %-6s %16s %16s %16s\n", "files", grouped(ra.files).c_str(), grouped(rb.files).c_str(),
           signed_count(ra.files, rb.files).c_str());
    printf("  %-6s %16s %16s %16s\n", "dirs", grouped(a.total_dirs).c_str(), grouped(b.total_dirs).c_str(),
           signed_count(a.total_dirs, b.total_dirs).c_str());
    if (in.seconds >= 0)
        printf("  %s apart (%s)\n", duration(in.seconds).c_str(), in.time_from);
    printf("  added %s in new and grown files, removed %s in vanished and shrunk ones\n", human(r.added).c_str(),
           human(r.removed).c_str());

    if (o.levels > 0) {
        printf("\n%sGrew most%s  %s(share of the bytes added)%s\n", st.bold(), st.reset(), st.dim(), st.reset());
        if (r.grew.empty())
            printf("  (none)\n");
        print_dirs(st, r.grew, r.added, 0);
        printf("\n%sShrank most%s  %s(share of the bytes removed)%s\n", st.bold(), st.reset(), st.dim(), st.reset());
        if (r.shrank.empty())
            printf("  (none)\n");
        print_dirs(st, r.shrank, r.removed, 0);
    }
    if (o.top > 0) {
        print_items(st, "New", r.new_count, r.new_entries, false);
        print_items(st, "Vanished", r.vanished_count, r.vanished, false);
        print_items(st, "Files that grew", r.grown_count, r.grown_files, true);
    }
}

void print_diff_json(const diff_input &in, const cmp_result &r)
{
    const sv_tree &a = *in.older, &b = *in.newer;
    std::string out = "{\"old\":" + json_scan(a) + ",\"new\":" + json_scan(b) + ",\"change\":{\"size\":" +
                      signed_diff(a.entries[0].size, b.entries[0].size) + ",\"files\":" +
                      signed_diff(a.entries[0].files, b.entries[0].files) + ",\"dirs\":" +
                      signed_diff(a.total_dirs, b.total_dirs) + "},\"seconds_between\":";
    if (in.seconds >= 0)
        out += std::to_string((long long)(in.seconds + 0.5)) + ",\"time_from\":" + sv_quote(in.time_from);
    else
        out += "null,\"time_from\":null";
    out += ",\"added\":" + std::to_string(r.added) + ",\"removed\":" + std::to_string(r.removed) +
           ",\"grew\":" + json_dirs(r.grew) + ",\"shrank\":" + json_dirs(r.shrank) +
           ",\"new_entries\":" + json_items(r.new_count, r.new_entries, false) +
           ",\"vanished\":" + json_items(r.vanished_count, r.vanished, false) +
           ",\"grown_files\":" + json_items(r.grown_count, r.grown_files, true) + "}";
    puts(out.c_str());
}
