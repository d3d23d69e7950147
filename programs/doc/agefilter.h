// --older-than and --newer-than: a scan cut down to the files modified in a
// span of time, built in the library from a finished scan, so that every
// document and sink (report, JSON, page, export, table) shows only them.
#pragma once

#include <cstdint>
#include <string>

// A new scan (the caller's to free) holding every directory of the finished
// scan id and only its files modified at or after from and before before
// (seconds since 1970); a file whose time the scan did not keep is left out.
// Sizes, hard links once and problems as the scan counted them. The scan's
// id, or -1 with *error set. *kept: the files kept.
int age_filtered(int id, int64_t from, int64_t before, uint64_t *kept, std::string *error);
