#include "owner.h"

std::string user_name(uint32_t uid)
{
    return std::to_string(uid);
}

std::string group_name(uint32_t gid)
{
    return std::to_string(gid);
}
