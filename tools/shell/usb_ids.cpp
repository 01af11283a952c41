#include "usb_ids.h"

#include <algorithm>
#include <cctype>
#include <sys/stat.h>

#include "file_text.h"
#include "printable_text.h"

namespace {

// The list has a few dozen lines; anything far larger is not it.
constexpr size_t largest_list = 1024 * 1024;
constexpr const char *whitespace = " \t\r\n\v\f";

bool is_id(const std::string &word)
{
    return word.size() == 4 &&
           std::all_of(word.begin(), word.end(), [](char ch) { return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f'); });
}

// The first word of `text` from `at` on, and `at` moved past it and the
// whitespace after it.
std::string next_word(const std::string &text, size_t *at)
{
    const size_t end = std::min(text.find_first_of(whitespace, *at), text.size());
    const std::string word = text.substr(*at, end - *at);
    *at = std::min(text.find_first_not_of(whitespace, end), text.size());
    return word;
}

std::string lowercase(std::string text)
{
    for (char &ch : text)
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return text;
}

}  // namespace

bool read_usb_ids(const std::string &path, usb_id_list *ids, std::string *error)
{
    ids->clear();
    std::string text, why;
    if (!read_file_text(path, largest_list, &text, &why) || !is_utf8(text)) {
        *error = path + ": cannot read the known USB ids: " + (why.empty() ? "not UTF-8 text" : why);
        return false;
    }
    size_t number = 0;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size());
        const std::string line = trimmed(std::string_view(text).substr(start, end - start));
        start = end + 1;
        ++number;
        if (line.empty() || line[0] == '#')
            continue;
        size_t at = 0;
        usb_id id;
        id.vendor = next_word(line, &at);
        id.product = next_word(line, &at);
        id.description = line.substr(at);
        if (!is_id(id.vendor) || !(id.product == "*" || is_id(id.product)) || id.description.empty()) {
            *error = path + ":" + std::to_string(number) +
                     ": not 'vendor product description' (4 lowercase hex digits each, product '*' for any): '" +
                     printable_text(line) + "'";
            ids->clear();
            return false;
        }
        ids->push_back(id);
    }
    return true;
}

bool find_usb_ids(const std::vector<std::string> &candidates, usb_id_list *ids, std::string *error)
{
    std::string tried;
    for (const std::string &candidate : candidates) {
        struct stat info {};
        if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode))
            return read_usb_ids(candidate, ids, error);
        tried += (tried.empty() ? "" : ", ") + candidate;
    }
    *error = "the list of known USB ids is not installed; tried " + tried;
    return false;
}

const std::string *known_usb_id(const usb_id_list &ids, const std::string &vendor, const std::string &product)
{
    const std::string v = lowercase(vendor), p = lowercase(product);
    // A later line for the same ids overrides an earlier one.
    for (const std::string &wanted : {p, std::string("*")})
        for (auto id = ids.rbegin(); id != ids.rend(); ++id)
            if (id->vendor == v && id->product == wanted)
                return &id->description;
    return nullptr;
}
