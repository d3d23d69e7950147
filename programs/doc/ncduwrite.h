// A scan written in ncdu's JSON export format, which ncdu -f and gdu -f
// read (and qvdisk -f reads back): a sink, fed by a scan's visit.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "docsink.h"

// A sink writing to out (not closed by it) as it is told: the entries are
// never held. Names are written byte for byte, as ncdu writes them (only
// '"', '\' and control characters escaped), so that names that are not
// UTF-8 read back as they were. timestamp: seconds since the epoch, in the
// header. The sink refuses what out will not take ("cannot write: ...").
std::unique_ptr<doc_sink> ncdu_writer(FILE *out, int64_t timestamp);
