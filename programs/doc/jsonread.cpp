#include "jsonread.h"
#include "utf8.h"

#include <cstdlib>
#include <cstring>

namespace {

struct cursor {
    const char *p;
    bool ok = true;
};

void ws(cursor &c)
{
    while (*c.p == ' ' || *c.p == '\n' || *c.p == '\r' || *c.p == '\t')
        c.p++;
}

bool eat(cursor &c, char ch)
{
    ws(c);
    if (*c.p != ch)
        return false;
    c.p++;
    return true;
}

uint32_t hex4(cursor &c)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; i++) {
        char h = *c.p;
        int d = h >= '0' && h <= '9' ? h - '0' : h >= 'a' && h <= 'f' ? h - 'a' + 10 : h >= 'A' && h <= 'F' ? h - 'A' + 10 : -1;
        if (d < 0) {
            c.ok = false;
            return 0;
        }
        v = v * 16 + (uint32_t)d;
        c.p++;
    }
    return v;
}

bool string(cursor &c, std::string *out)
{
    if (!eat(c, '"'))
        return false;
    for (;;) {
        char ch = *c.p++;
        if (ch == '\0')
            return false;
        if (ch == '"')
            return c.ok;
        if (ch != '\\') {
            if (out)
                *out += ch;
            continue;
        }
        char e = *c.p++;
        uint32_t cp = 0;
        int simple = json_simple_escape(e);
        switch (simple >= 0 ? 256 : (int)(unsigned char)e) {
        case 256: cp = (uint32_t)simple; break;
        case 'u':
            cp = hex4(c);
            if (cp >= 0xD800 && cp < 0xDC00 && c.p[0] == '\\' && c.p[1] == 'u') {
                c.p += 2;
                uint32_t lo = hex4(c);
                cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            }
            break;
        default: return false;
        }
        if (out)
            put_utf8(*out, cp);
    }
}

bool number(cursor &c, uint64_t *u, double *d)
{
    ws(c);
    char *end;
    const char *start = c.p;
    double v = strtod(start, &end);
    if (end == start)
        return false;
    if (u)
        *u = strtoull(start, nullptr, 10);
    if (d)
        *d = v;
    c.p = end;
    return true;
}

// Skips one value of any depth with a bracket count, not recursion.
bool skip(cursor &c)
{
    ws(c);
    if (*c.p == '"')
        return string(c, nullptr);
    if (*c.p != '{' && *c.p != '[') {
        while (*c.p && *c.p != ',' && *c.p != '}' && *c.p != ']')
            c.p++;
        return true;
    }
    long depth = 0;
    do {
        char ch = *c.p;
        if (ch == '\0')
            return false;
        if (ch == '"') {
            if (!string(c, nullptr))
                return false;
            continue;
        }
        if (ch == '{' || ch == '[')
            depth++;
        else if (ch == '}' || ch == ']')
            depth--;
        c.p++;
    } while (depth > 0);
    return true;
}

bool object(cursor &c, int levels, jr_node *n);

bool children(cursor &c, int levels, jr_node *n)
{
    if (levels <= 0)
        return skip(c);
    if (!eat(c, '['))
        return false;
    if (eat(c, ']'))
        return true;
    do {
        n->children.emplace_back();
        if (!object(c, levels - 1, &n->children.back()))
            return false;
    } while (eat(c, ','));
    return eat(c, ']');
}

bool object(cursor &c, int levels, jr_node *n)
{
    if (!eat(c, '{'))
        return false;
    if (eat(c, '}'))
        return true;
    do {
        std::string key;
        if (!string(c, &key) || !eat(c, ':'))
            return false;
        bool ok;
        if (key == "name" || key == "path" || key == "ext") {
            ok = string(c, &n->name);
        } else if (key == "size" || key == "total_size") {
            ok = number(c, &n->size, nullptr);
        } else if (key == "files" || key == "total_files" || key == "count") {
            ok = number(c, &n->files, nullptr);
        } else if (key == "total_dirs") {
            ok = number(c, &n->dirs, nullptr);
        } else if (key == "scan_time_ms") {
            ok = number(c, nullptr, &n->scan_time_ms);
        } else if (key == "is_dir") {
            ws(c);
            n->is_dir = strncmp(c.p, "true", 4) == 0;
            ok = skip(c);
        } else if (key == "children") {
            ok = children(c, levels, n);
        } else {
            ok = skip(c);
        }
        if (!ok)
            return false;
    } while (eat(c, ','));
    return eat(c, '}');
}

}  // namespace

bool jr_read_tree(const char *text, int levels, jr_node *root)
{
    // The library's error texts ({"error":...}) are objects too, but not a
    // scan result: those begin with "path".
    if (!text || strncmp(text, "{\"path\":", 8) != 0)
        return false;
    cursor c{text};
    *root = jr_node{};
    root->is_dir = true;
    return object(c, levels, root);
}

bool jr_read_list(const char *text, std::vector<jr_node> *items)
{
    if (!text)
        return false;
    cursor c{text};
    items->clear();
    if (!eat(c, '['))
        return false;
    if (eat(c, ']'))
        return true;
    do {
        items->emplace_back();
        if (!object(c, 0, &items->back()))
            return false;
    } while (eat(c, ','));
    return eat(c, ']');
}
