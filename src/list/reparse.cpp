// The keep, skip or follow rule for reparse points.
#include "reparse.h"

int qv_reparse_action(uint32_t attrs, uint32_t tag, int follow_links)
{
    if (!(attrs & QV_ATTR_REPARSE_POINT))
        return QV_CHILD_KEEP;
    bool link = tag == 0 || (tag & QV_TAG_NAME_SURROGATE) != 0;
    if (!link)
        return QV_CHILD_KEEP;
    return follow_links ? QV_CHILD_FOLLOW : QV_CHILD_SKIP;
}
