// plugin_pack: writes a signed plugin package (tools/packer/plugin_package.h).
//
//   plugin_pack --output <file> [--dir <name>] [--file <entry>=<source>]...
//               [--head <key>=<value>]... [--payload <file>] [--container-out <file>]
//               (--sign <pem> [--digest-info] | --unsigned) [--level <0-9>]
//
// The archive holds the --file entries in the directory --dir; it is
// compressed into an LZMA-alone stream that states its real size, unless
// --payload gives the payload ready made (for instance by xz --format=lzma).
// --container-out also writes the uncompressed container. --digest-info signs
// the way the program refuses (a DigestInfo inside the padding), for tests.
// The output is written beside its final name and renamed into place.
#include "tools/packer/lzma_alone.h"
#include "tools/packer/pack_error.h"
#include "tools/packer/plugin_package.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>

namespace {

void write_file(std::string const& path, std::string const& bytes) {
    std::string const tmp = path + ".part";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << bytes;
        if (!out.flush()) throw packer::pack_error("cannot write \"" + tmp + "\"");
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        throw packer::pack_error("cannot rename \"" + tmp + "\" to \"" + path + "\"");
    }
}

// Splits "a=b" at its first "="; the left side must not be empty.
std::pair<std::string, std::string> split_pair(std::string const& option, std::string const& text) {
    auto const eq = text.find('=');
    if (eq == 0 || eq == std::string::npos)
        throw packer::pack_error(option + " wants NAME=VALUE, got \"" + text + "\"");
    return {text.substr(0, eq), text.substr(eq + 1)};
}

int usage() {
    std::fputs("usage: plugin_pack --output <file> [--dir <name>] [--file <entry>=<source>]...\n"
               "                   [--head <key>=<value>]... [--payload <file>] [--container-out <file>]\n"
               "                   (--sign <pem> [--digest-info] | --unsigned) [--level <0-9>]\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string output, dir = "plugin", payload_path, container_out, pem;
    std::vector<packer::archive_entry> files;
    std::map<std::string, std::string> head;
    bool unsigned_package = false, digest_info = false;
    unsigned level = 6;
    try {
        for (int i = 1; i < argc; ++i) {
            std::string const a = argv[i];
            if (a == "--unsigned") {
                unsigned_package = true;
                continue;
            }
            if (a == "--digest-info") {
                digest_info = true;
                continue;
            }
            if (i + 1 >= argc) return usage();
            std::string const v = argv[++i];
            if (a == "--output") {
                output = v;
            } else if (a == "--dir") {
                dir = v;
            } else if (a == "--file") {
                auto [entry, source] = split_pair(a, v);
                files.push_back({entry, source, packer::read_source(source)});
            } else if (a == "--head") {
                auto [key, value] = split_pair(a, v);
                head[key] = value;
            } else if (a == "--payload") {
                payload_path = v;
            } else if (a == "--container-out") {
                container_out = v;
            } else if (a == "--sign") {
                pem = v;
            } else if (a == "--level" && v.size() == 1 && v[0] >= '0' && v[0] <= '9') {
                level = unsigned(v[0] - '0');
            } else {
                return usage();
            }
        }
        if (output.empty() || pem.empty() == !unsigned_package || (digest_info && pem.empty()))
            return usage();

        std::string payload;
        if (!payload_path.empty()) {
            payload = packer::read_source(payload_path);
        } else {
            std::string const container = packer::plugin_container(dir, files);
            if (!container_out.empty()) write_file(container_out, container);
            payload = packer::lzma_alone_compress(container, level);
        }
        head.erase("signature");
        if (!unsigned_package)
            head["signature"] = packer::plugin_sign(pem, packer::plugin_canonical_form(head, payload),
                                                    digest_info ? packer::plugin_signing::digest_info
                                                                : packer::plugin_signing::bare_digest);
        write_file(output, packer::plugin_package(head, payload));
    } catch (packer::pack_error const& e) {
        std::fprintf(stderr, "plugin_pack: %s\n", e.what());
        return 1;
    }
    return 0;
}
