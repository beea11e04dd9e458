#include "tools/packer/appendix_writer.h"

#include "launcher/appendix_format.h"
#include "tools/packer/lzma_alone.h"
#include "tools/packer/pack_error.h"

#include <cstdint>

namespace packer {

namespace {

[[noreturn]] void fail(manifest_record const& rec, std::string const& what) {
    throw pack_error("manifest line " + std::to_string(rec.line) + ": " + what);
}

// What the launcher's clean-up list will hold, in order: written files (by
// their path relative to the slot) and seals.
struct written {
    bool seal = false;
    std::string path;
};

void check_archive(manifest_record const& rec) {
    if (!launcher::is_safe_directory_name(rec.name))
        fail(rec, "unsafe archive directory name \"" + rec.name + "\"");
    for (auto const& e : rec.entries) {
        if (!launcher::is_safe_entry_name(e.name)) fail(rec, "unsafe entry name \"" + e.name + "\"");
        if (e.data.size() > UINT32_MAX) fail(rec, "entry \"" + e.name + "\" is 4 GiB or more");
    }
}

// The launcher starts the newest written file whose slot path equals the name;
// once the list holds a seal, that file must have been written before one.
void check_start(manifest_record const& rec, std::vector<written> const& list) {
    if (!launcher::is_safe_start_name(rec.name)) fail(rec, "unsafe start name \"" + rec.name + "\"");
    bool seal_seen = false, any_seal = false, found = false, sealed_before = false;
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
        if (it->seal) {
            seal_seen = any_seal = true;
        } else if (!found && it->path == rec.name) {
            found = true;
            sealed_before = seal_seen;
        }
    }
    if (!found) fail(rec, "start name \"" + rec.name + "\" names no file written before it");
    if (any_seal && !sealed_before)
        fail(rec, "start name \"" + rec.name + "\" names a file written after the seal");
}

} // namespace

void check_records(std::vector<manifest_record> const& records) {
    std::vector<written> list;
    bool slot_claimed = false;
    for (auto const& rec : records) {
        switch (rec.type) {
        case launcher::record_archive:
        case launcher::record_lzma_archive: {
            check_archive(rec);
            // The first archive fills the slot itself; later ones a directory of it.
            std::string const prefix = slot_claimed ? rec.name + "/" : "";
            for (auto const& e : rec.entries) list.push_back({false, prefix + e.name});
            slot_claimed = true;
            break;
        }
        case launcher::record_seal:
            if (!slot_claimed) fail(rec, "a seal before the first archive is dropped by the launcher");
            list.push_back({true, {}});
            break;
        case launcher::record_start_exe:
        case launcher::record_start_dll:
        case launcher::record_exe_at_end:
        case launcher::record_dll_at_end:
            check_start(rec, list);
            break;
        case launcher::record_copy_self:
            if (rec.name.size() >= launcher::record_name_limit || !launcher::is_safe_entry_name(rec.name))
                fail(rec, "unsafe copy name \"" + rec.name + "\"");
            if (!slot_claimed) fail(rec, "a copy before the first archive has no slot to go to");
            list.push_back({false, rec.name});
            break;
        case launcher::record_delete_self:
        case launcher::record_end:
            break;
        default:
            fail(rec, "record type " + std::to_string(rec.type) + " is unknown");
        }
    }
}

std::string archive_container(manifest_record const& archive) {
    std::string out;
    launcher::append_archive_header(out, archive.name, static_cast<std::uint32_t>(archive.entries.size()));
    for (auto const& e : archive.entries) launcher::append_archive_entry(out, e.name, e.data);
    return out;
}

std::string build_appendix(std::vector<manifest_record> const& records, std::uint32_t lzma_level) {
    check_records(records);
    std::string out;
    std::string padding;
    for (auto const& rec : records) {
        std::string body;
        switch (rec.type) {
        case launcher::record_end:
            padding = rec.name;
            continue;
        case launcher::record_archive:
            body = archive_container(rec);
            break;
        case launcher::record_lzma_archive: {
            std::string const plain = archive_container(rec);
            if (plain.size() > UINT32_MAX) fail(rec, "archive of 4 GiB or more");
            body = lzma_alone_compress(plain, lzma_level);
            break;
        }
        case launcher::record_seal:
        case launcher::record_delete_self:
            break;
        default:
            body = rec.name;
        }
        if (body.size() > UINT32_MAX) fail(rec, "record of 4 GiB or more");
        launcher::append_record(out, rec.type, body);
    }
    out.push_back(static_cast<char>(launcher::record_end));
    out += padding;
    return out;
}

bool contains_marker(std::string_view image) {
    std::string marker;
    launcher::append_marker(marker);
    return image.find(marker) != std::string_view::npos;
}

std::string pack_launcher(std::string_view image, std::vector<manifest_record> const& records,
                          std::uint32_t lzma_level) {
    if (contains_marker(image)) throw pack_error("the launcher image already holds the end marker");
    std::string out(image);
    launcher::append_marker(out);
    out += build_appendix(records, lzma_level);
    return out;
}

} // namespace packer
