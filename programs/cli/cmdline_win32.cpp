#include "cmdline.h"

#include <string>
#include <vector>

#include <windows.h>
#include <shellapi.h>

char **utf8_argv(int argc, char **argv)
{
    int n = 0;
    LPWSTR *wide = CommandLineToArgvW(GetCommandLineW(), &n);
    // The C runtime splits the command line as CommandLineToArgvW does; if
    // they ever differ, the arguments stay as the runtime gave them.
    if (!wide || n != argc) {
        if (wide)
            LocalFree(wide);
        return argv;
    }
    static std::vector<std::string> held;
    static std::vector<char *> out;
    held.resize((size_t)n);
    for (int i = 0; i < n; i++) {
        int len = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        held[(size_t)i].assign(len > 0 ? (size_t)len - 1 : 0, '\0');
        if (len > 1)
            WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, held[(size_t)i].data(), len, nullptr, nullptr);
    }
    LocalFree(wide);
    for (std::string &a : held)
        out.push_back(a.data());
    out.push_back(nullptr);
    return out.data();
}
