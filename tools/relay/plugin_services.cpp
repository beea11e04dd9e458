#include "tools/relay/plugin_services.h"

#include "rulo/kv_container.h"
#include "rulo/kv_text.h"
#include "rulo/packet.h"
#include "tools/packer/lzma_alone.h"

#include <openssl/evp.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <stdexcept>

namespace relay {

namespace {

bool read_file(std::string const& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

std::string sha256_hex16(std::string const& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) || length < 8)
        throw std::runtime_error("SHA-256 failed");
    static char const hex[] = "0123456789abcdef";
    std::string out;
    for (int i = 0; i < 8; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

// Size and signature of a served package, added where the record lacks them.
void complete_from_file(plugin_record& record, std::string const& files_dir) {
    auto ticket = record.find("download_ticket");
    if (files_dir.empty() || ticket == record.end() || !safe_file_name(ticket->second)) return;
    std::string const path = files_dir + "/" + ticket->second;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    if (!record.count("size")) record["size"] = std::to_string(st.st_size);
    if (!record.count("signature")) {
        try {
            plugin_record head;
            std::string payload;
            rulo::kv_load_file(path, head, &payload);
            if (head.count("signature")) record["signature"] = head["signature"];
        } catch (std::exception const&) {
            // not a package: served without a signature
        }
    }
}

} // namespace

bool safe_file_name(std::string const& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

std::vector<plugin_record> catalogue_records(std::string const& catalogue_path,
                                             std::string const& files_dir) {
    std::string text;
    if (!read_file(catalogue_path, text)) throw std::runtime_error("cannot read catalogue " + catalogue_path);
    std::vector<plugin_record> records;
    plugin_record current;
    std::istringstream in(text);
    std::string line;
    auto flush = [&] {
        if (current.empty()) return;
        if (auto d = current.find("depends"); d != current.end()) {
            std::set<std::string> names;
            std::istringstream list(d->second);
            for (std::string name; std::getline(list, name, ',');)
                if (!name.empty()) names.insert(name);
            d->second.clear();
            rulo_packet_push(d->second, names);
        }
        complete_from_file(current, files_dir);
        records.push_back(std::move(current));
        current.clear();
    };
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) {
            flush();
            continue;
        }
        if (line[0] == '#') continue;
        try {
            rulo::parse_map_line(current, line);
        } catch (std::exception const&) {
            throw std::runtime_error("catalogue " + catalogue_path + ": not a key=value line: " + line);
        }
    }
    flush();
    return records;
}

std::string catalogue_value(std::vector<plugin_record> const& records) {
    std::string v;
    rulo_packet_push(v, records);
    return v;
}

translations_answer translations_for(std::string const& dir, std::string const& name,
                                     std::string const& cached) {
    std::string text;
    if (dir.empty() || !safe_file_name(name + ".ini") || !read_file(dir + "/" + name + ".ini", text))
        return {};
    std::string const identifier = sha256_hex16(text);
    if (identifier == cached) return {};
    std::string bytes = packer::lzma_alone_compress(text);
    rulo_packet_push(bytes, identifier);
    return {bytes, identifier};
}

download_fault parse_download_fault(std::string const& spec) {
    std::istringstream in(spec);
    std::string word;
    in >> word;
    download_fault f;
    auto number = [&](char const* what) {
        std::string v;
        in >> v;
        std::size_t used = 0;
        unsigned long long n = 0;
        try {
            n = std::stoull(v, &used);
        } catch (std::exception const&) {
            used = 0;
        }
        if (v.empty() || used != v.size() || v[0] == '-')
            throw std::invalid_argument(std::string("bad ") + what + " " + v);
        return std::uint64_t(n);
    };
    if (word == "none") {
        f.what = download_fault::none;
    } else if (word == "corrupt") {
        f.what = download_fault::corrupt;
    } else if (word == "short") {
        f.what = download_fault::short_by_one;
    } else if (word == "long") {
        f.what = download_fault::long_by_one;
    } else if (word == "error") {
        f.what = download_fault::error;
        std::getline(in, f.text);
        if (!f.text.empty() && f.text.front() == ' ') f.text.erase(0, 1);
        if (f.text.empty()) throw std::invalid_argument("download fault error needs a TEXT");
    } else if (word == "break") {
        f.what = download_fault::break_after;
        f.value = number("byte count");
    } else if (word == "rate") {
        f.what = download_fault::rate;
        f.value = number("rate");
        if (f.value == 0) throw std::invalid_argument("a rate of 0 would never finish");
    } else {
        throw std::invalid_argument("unknown download fault \"" + spec + "\"");
    }
    return f;
}

char const* fault_name(download_fault::kind k) {
    switch (k) {
    case download_fault::none:
        return "none";
    case download_fault::corrupt:
        return "corrupt";
    case download_fault::short_by_one:
        return "short";
    case download_fault::long_by_one:
        return "long";
    case download_fault::error:
        return "error";
    case download_fault::break_after:
        return "break";
    case download_fault::rate:
        return "rate";
    }
    return "none";
}

} // namespace relay
