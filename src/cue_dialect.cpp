#include "cue_dialect.h"

#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pqlist.h"

namespace {

bool all_digits(const std::string &text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

std::string trimmed(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
        return "";
    const std::size_t last = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(first, last - first + 1));
}

} // namespace

bool cue_word_is(const char *word, const char *keyword, bool *other_case)
{
    if (strcasecmp(word, keyword) != 0)
        return false;
    if (std::strcmp(word, keyword) != 0 && other_case != nullptr)
        *other_case = true;
    return true;
}

cue_catalog cue_catalog_number(std::string_view text)
{
    // Quotes around the number and hyphens between its parts are no part of it.
    std::string words = trimmed(text);
    std::erase(words, '"');
    std::erase(words, '-');
    cue_catalog catalog;
    catalog.digits = words;
    std::erase_if(catalog.digits, [](char c) { return c == ' ' || c == '\t'; });
    // Only digits are a number printed in groups; anything else is its first word, as
    // written, for the caller's check to refuse.
    if (!all_digits(catalog.digits))
        catalog.digits = words.substr(0, words.find_first_of(" \t"));
    else if (catalog.digits != words)
        catalog.changes = "blanks removed";
    // A UPC-A is an EAN-13 with a leading 0, and the same check digit.
    if (catalog.digits.size() == 12 && all_digits(catalog.digits) &&
        ean13_validate(("0" + catalog.digits).c_str(), nullptr) == 0) {
        catalog.digits.insert(0, "0");
        catalog.changes += catalog.changes.empty() ? "" : ", ";
        catalog.changes += "a 12-digit UPC-A given its leading 0";
    }
    return catalog;
}

bool cue_split_unquoted_file(std::string_view rest, std::string &name, std::string &type)
{
    const std::string line = trimmed(rest);
    const std::size_t last_blank = line.find_last_of(" \t");
    if (last_blank == std::string::npos)
        return false;
    name = trimmed(std::string_view(line).substr(0, last_blank));
    type = line.substr(last_blank + 1);
    return true;
}

std::vector<std::string> cue_windows_path_candidates(const std::string &name)
{
    const bool drive = name.size() >= 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0]));
    if (name.find('\\') == std::string::npos && !drive)
        return {};
    std::vector<std::string> names;
    // A relative path (no drive, no leading backslash) may lead into a folder beside the sheet.
    if (!drive && name[0] != '\\') {
        std::string relative = name;
        for (char &c : relative)
            c = c == '\\' ? '/' : c;
        names.push_back(relative);
    }
    const std::string last = name.substr(name.find_last_of("\\/:") + 1);
    if (!last.empty())
        names.push_back(last);
    return names;
}

std::string cue_track_renumbering(const std::vector<std::string> &tracks)
{
    std::string list;
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        const long written = all_digits(tracks[i]) ? std::strtol(tracks[i].c_str(), nullptr, 10) : -1;
        if (written == static_cast<long>(i + 1))
            continue;
        char place[8];
        std::snprintf(place, sizeof place, "%02d", static_cast<int>(i + 1));
        list += (list.empty() ? "TRACK " : ", TRACK ") + tracks[i] + " -> " + place;
    }
    return list;
}
