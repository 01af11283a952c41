#include "board_line.h"

std::vector<std::string> candidate_paths(const char *folder)
{
    std::vector<std::string> paths;
    const std::string base = std::string(folder == nullptr ? "" : folder) + "/";
    for (const char *family : candidate_families)
        for (int32_t n = first_candidate_number; n <= last_candidate_number; ++n)
            paths.push_back(base + family + std::to_string(n));
    return paths;
}

bool is_candidate_family_name(const std::string &name)
{
    for (const std::string family : candidate_families)
        if (name.size() > family.size() && name.compare(0, family.size(), family) == 0 &&
            name.find_first_not_of("0123456789", family.size()) == std::string::npos)
            return true;
    return false;
}
