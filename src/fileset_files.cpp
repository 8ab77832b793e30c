#include "fileset_files.h"

#include <sys/stat.h>

#include <array>

#include "ddp_format.h"
#include "tolk_utils.h"

ddp_file *ddp_files::find(std::string_view name)
{
    for (ddp_file &f : files)
        if (f.name == name)
            return &f;
    return nullptr;
}

const ddp_file *ddp_files::find(std::string_view name) const { return const_cast<ddp_files *>(this)->find(name); }

ddp_file &ddp_files::add(std::string_view name, ddp_role role)
{
    if (ddp_file *f = find(name))
        return *f;
    ddp_file &f = files.emplace_back();
    f.name = name;
    f.role = role;
    return f;
}

ddp_files ddp_files_to_write(const char *dir, const ddp_run_inputs &inputs, bool with_cuesheet, bool with_cdtext)
{
    ddp_files list;
    list.dir = dir;
    const auto put = [&](const char *name, ddp_role role, const char *stream, bool written) -> ddp_file & {
        ddp_file &f = list.add(name, role);
        f.stream = stream;
        f.written = written;
        return f;
    };
    put("IMAGE.DAT", ddp_role::audio, "D0", true).inputs = inputs.audio;
    put("SD", ddp_role::pq, "S0 PQ DESCR", true);
    put("DDPMS", ddp_role::map, "", true);
    put("DDPID", ddp_role::identifier, "", true);
    ddp_file &cdtext = put("CDTEXT.BIN", ddp_role::cdtext, "S0 CDTEXT", with_cdtext);
    if (!inputs.cdtext.empty())
        cdtext.inputs.push_back(inputs.cdtext);
    ddp_file &cuesheet = put("IMAGE.cue", ddp_role::cuesheet, "", with_cuesheet);
    if (!inputs.cuesheet.empty())
        cuesheet.inputs.push_back(inputs.cuesheet);
    put("CHECKSUM.MD5", ddp_role::checksums, "", true);
    put("CHECKSUM.TXT", ddp_role::checksums, "", true);
    return list;
}

std::string ddp_file_path(const ddp_files &files, const ddp_file &f)
{
    return tolk_path_join(files.dir ? files.dir->c_str() : "", f.name.c_str()).value_or(f.name);
}

namespace {

// A fileset is recognised by the start of its DDPID record: 64 bytes whose level begins with "DDP".
constexpr std::size_t ddpid_probe_size = 64;
constexpr std::string_view ddpid_probe_mark = "DDP";

bool has_ddp_identifier(const std::string &path)
{
    file_ptr id = tolk_fopen(path.c_str(), "rb");
    if (!id)
        return false;
    std::array<char, ddpid_probe_size> probe{};
    if (std::fread(probe.data(), 1, probe.size(), id.get()) != probe.size())
        return false;
    return std::string_view(probe.data(), ddpid_probe_mark.size()) == ddpid_probe_mark;
}

} // namespace

ddp_role ddp_role_of_stream(std::string_view type, std::string_view subcode)
{
    if (type == "D0")
        return ddp_role::audio;
    if (type == "S0" && subcode == "PQ DESCR")
        return ddp_role::pq;
    if (type == "S0" && subcode == "CDTEXT")
        return ddp_role::cdtext;
    return ddp_role::stream;
}

std::optional<ddp_files> ddp_files_of_map(const char *dir)
{
    const auto id_path = tolk_path_join(dir, "DDPID");
    const auto map_path = tolk_path_join(dir, "DDPMS");
    if (!id_path || !map_path || !has_ddp_identifier(*id_path))
        return std::nullopt;
    file_ptr map = tolk_fopen(map_path->c_str(), "rb");
    // The map is read to its end, so it must be a file that has one.
    struct stat st;
    if (!map || fstat(fileno(map.get()), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    ddp_files list;
    list.dir = dir;
    list.add("DDPID", ddp_role::identifier);
    list.add("DDPMS", ddp_role::map);
    // Packets without the mark and packets that name no file are passed over, and so is a partial
    // last packet. The name is the field up to a NUL byte, without the blanks after it.
    std::array<char, ddp_map_packet::size> packet;
    while (std::fread(packet.data(), 1, packet.size(), map.get()) == packet.size()) {
        const std::string_view bytes(packet.data(), packet.size());
        if (!ddp_has_mark<ddp_map_packet>(bytes))
            continue;
        std::string_view dsi = ddp_field_bytes(bytes, &ddp_map_packet::dsi);
        dsi = dsi.substr(0, dsi.find('\0'));
        const std::string_view name = dsi.substr(0, dsi.find_last_not_of(' ') + 1);
        if (name.empty())
            continue;
        const ddp_map_packet m = ddp_decode_map(bytes);
        ddp_file &f = list.add(name, ddp_role_of_stream(m.type, m.subcode));
        if (f.stream.empty())
            f.stream = m.type + (m.subcode.empty() ? "" : " " + m.subcode);
    }
    return list;
}
