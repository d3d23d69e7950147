// The comparison of two scans as qvdisk prints it: a text report within 80
// columns, or one JSON document (--json diff).
#pragma once

#include "settings.h"
#include "compare.h"
#include "report.h"
#include "saved.h"

struct diff_input {
    const sv_tree *older = nullptr, *newer = nullptr;
    double seconds = -1;             // between the scans; < 0 when not known
    const char *time_from = nullptr;  // where that figure comes from
};

void print_diff_report(const options &o, const diff_input &in, const cmp_result &r, const style &st);
void print_diff_json(const diff_input &in, const cmp_result &r);
