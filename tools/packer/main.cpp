// desk_pack: writes a packed launcher from a launcher image and a manifest
// (tools/packer/manifest.h describes the manifest).
//
//   desk_pack --launcher <image> --manifest <file> --output <file> [--level <0-9>]
//
// The output is written beside its final name and renamed into place, mode
// 0755, so a failed run never leaves a half-packed launcher behind.
#include "tools/packer/appendix_writer.h"
#include "tools/packer/manifest.h"
#include "tools/packer/pack_error.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace {

void write_file(std::string const& path, std::string const& bytes) {
    std::string const tmp = path + ".part";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
    if (fd < 0) throw packer::pack_error("cannot create \"" + tmp + "\": " + std::strerror(errno));
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int const err = errno;
            ::close(fd);
            ::unlink(tmp.c_str());
            throw packer::pack_error("cannot write \"" + tmp + "\": " + std::strerror(err));
        }
        done += static_cast<std::size_t>(n);
    }
    // The umask may have narrowed the mode given to open.
    if (::fchmod(fd, 0755) != 0 || ::close(fd) != 0 || ::rename(tmp.c_str(), path.c_str()) != 0) {
        int const err = errno;
        ::unlink(tmp.c_str());
        throw packer::pack_error("cannot finish \"" + path + "\": " + std::strerror(err));
    }
}

int usage() {
    std::fputs("usage: desk_pack --launcher <image> --manifest <file> --output <file> [--level <0-9>]\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string image_path, manifest_path, output_path;
    unsigned level = 6;
    for (int i = 1; i < argc; ++i) {
        std::string const a = argv[i];
        if (i + 1 >= argc) return usage();
        std::string const v = argv[++i];
        if (a == "--launcher")
            image_path = v;
        else if (a == "--manifest")
            manifest_path = v;
        else if (a == "--output")
            output_path = v;
        else if (a == "--level" && v.size() == 1 && v[0] >= '0' && v[0] <= '9')
            level = unsigned(v[0] - '0');
        else
            return usage();
    }
    if (image_path.empty() || manifest_path.empty() || output_path.empty()) return usage();

    try {
        std::string const image = packer::read_source(image_path);
        auto const slash = manifest_path.find_last_of('/');
        std::string const base = slash == std::string::npos ? "."
                                 : slash == 0               ? "/"
                                                            : manifest_path.substr(0, slash);
        auto records = packer::parse_manifest(packer::read_source(manifest_path), base);
        packer::load_sources(records);
        write_file(output_path, packer::pack_launcher(image, records, level));
    } catch (std::exception const& e) { // pack_error and the run-time's own
        std::fprintf(stderr, "desk_pack: %s\n", e.what());
        return 1;
    }
    return 0;
}
