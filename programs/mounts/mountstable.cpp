// The table of qvdisk --mounts.
#include <algorithm>
#include <cstdint>

#include "format.h"
#include "mounts.h"
#include "termtext.h"

namespace {

// Columns a name may widen its column to; a longer one is printed whole and
// its row's figures go on the next line, as df does with long devices.
const size_t MAX_POINT = 40, MAX_DEVICE = 24, MAX_TYPE = 16;

struct widths {
    size_t point = 11, device = 6, type = 4, size = 4, used = 4, free = 4;
};

struct cells {
    std::string point, device, type, size, used, free, pct;
};

cells cells_of(const mount_entry &m, bool bytes)
{
    cells c{term_safe(m.point), term_safe(m.device), term_safe(m.type), "", "", "", use_percent(m)};
    if (m.state == MOUNT_READ) {
        c.size = bytes ? std::to_string(m.size) : human(m.size);
        c.used = bytes ? std::to_string(m.used) : human(m.used);
        c.free = bytes ? std::to_string(m.free) : human(m.free);
    }
    return c;
}

void widen(widths *w, const cells &c)
{
    auto grow = [](size_t *to, const std::string &s, size_t most) {
        size_t n = term_cols(s);
        if (n <= most)
            *to = std::max(*to, n);
    };
    grow(&w->point, c.point, MAX_POINT);
    // A row whose mount point takes a line of its own widens no other name.
    if (term_cols(c.point) <= MAX_POINT) {
        grow(&w->device, c.device, MAX_DEVICE);
        grow(&w->type, c.type, MAX_TYPE);
    }
    grow(&w->size, c.size, SIZE_MAX);
    grow(&w->used, c.used, SIZE_MAX);
    grow(&w->free, c.free, SIZE_MAX);
}

std::string names_part(const cells &c, const widths &w)
{
    if (term_cols(c.point) > w.point || term_cols(c.device) > w.device || term_cols(c.type) > w.type)
        return c.point + "  " + c.device + "  " + c.type + "\n" + std::string(w.point + w.device + w.type + 4, ' ');
    return pad_right(c.point, w.point) + "  " + pad_right(c.device, w.device) + "  " + pad_right(c.type, w.type);
}

}  // namespace

std::string mounts_table(const std::vector<mount_entry> &mounts, bool bytes, int timeout_ms, const style &st)
{
    widths w;
    std::vector<cells> rows;
    for (const mount_entry &m : mounts) {
        rows.push_back(cells_of(m, bytes));
        widen(&w, rows.back());
    }
    std::string out = st.bold() + names_part({"mount point", "device", "type", "", "", "", ""}, w) + "  " +
                      pad_left("size", w.size) + "  " + pad_left("used", w.used) + "  " + pad_left("free", w.free) +
                      "  use%" + st.reset() + "\n";
    for (size_t i = 0; i < rows.size(); i++) {
        const cells &c = rows[i];
        out += names_part(c, w) + "  ";
        if (mounts[i].state == MOUNT_READ)
            out += st.cyan() + pad_left(c.size, w.size) + st.reset() + "  " + pad_left(c.used, w.used) + "  " +
                   pad_left(c.free, w.free) + "  " + pad_left(c.pct, 4);
        else
            out += mount_state_text(mounts[i], timeout_ms);
        out += "\n";
    }
    return out;
}
