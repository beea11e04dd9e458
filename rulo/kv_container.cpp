#include "rulo/kv_container.h"

#include "rulo/exception.h"
#include "rulo/hash.h"
#include "rulo/kv_text.h"
#include "rulo/text.h"
#include "rulo/verify_rsa.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace rulo {
namespace {

// Copies the whole file into memory with plain reads. Unlike a copy out of a
// mapping, a file truncated meanwhile only ends the read early.
std::string read_whole_file(std::string const& path) {
    // O_NONBLOCK: a FIFO at the path must not hold the open up.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw exception::function("_mmap_open");
    struct closer {
        int fd;
        ~closer() { ::close(fd); }
    } close_fd{fd};
    struct stat st;
    if (::fstat(fd, &st) != 0) throw exception::function("_mmap_open");
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        throw exception::function("_mmap_open");
    }
    auto too_large = [&path]() {
        exception e = exception::function("kv_load_file");
        e.stream() << ": " << path << " is larger than " << kv_max_file_size << " bytes";
        return e;
    };
    if (uint64_t(st.st_size) > kv_max_file_size) throw too_large();

    // The size may change while reading: read to the end, but never more than
    // the limit and one byte, which tells that the file grew past it.
    std::string out;
    out.resize(std::max<size_t>(size_t(st.st_size), 4096) + 1);
    size_t got = 0;
    for (;;) {
        if (got == out.size()) {
            if (got > kv_max_file_size) throw too_large();
            out.resize(std::min(out.size() * 2, kv_max_file_size + 1));
        }
        ssize_t n = ::read(fd, out.data() + got, out.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw exception::function("_mmap_open");
        if (n == 0) break;
        got += size_t(n);
    }
    if (got == 0) {
        errno = EINVAL; // as a zero-length mapping was refused
        throw exception::function("_mmap_open");
    }
    out.resize(got);
    return out;
}

// Standard Base64 with padding, no line breaks; false for anything else.
bool decode_base64(std::string const& text, std::string& out) {
    if (text.empty() || text.size() % 4 != 0 || text.size() > INT_MAX) return false;
    out.resize(text.size() / 4 * 3);
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<unsigned char const*>(text.data()), int(text.size()));
    // The block decoder counts the padding as zero bytes.
    size_t padding = text.compare(text.size() - 2, 2, "==") == 0 ? 2 : text.back() == '=' ? 1 : 0;
    if (n < 0 || size_t(n) != out.size()) return false;
    out.resize(out.size() - padding);
    return true;
}

unsigned char const* bytes(std::string const& s) {
    return reinterpret_cast<unsigned char const*>(s.data());
}

} // namespace

void kv_load_content(std::string const& content, std::map<std::string, std::string>& keys,
                     std::string* payload) {
    if (payload) {
        size_t nul = content.find('\0');
        if (nul == std::string::npos) throw exception::function("kv_load_content");
        payload->assign(content, nul + 1);
    }
    parse_map(keys, content);
}

void kv_load_file(std::string const& path, std::map<std::string, std::string>& keys, std::string* payload) {
    kv_load_content(read_whole_file(path), keys, payload);
}

void kvs_load_file(std::string const& path,
                   std::map<std::string, std::map<std::string, std::string>>& sections) {
    std::vector<std::string> lines;
    get_lines(read_whole_file(path), lines);
    parse_map_2(sections, lines);
}

bool kv_verify(std::string const& public_key, std::map<std::string, std::string> const& keys,
               std::string const* payload) {
    auto found = keys.find("signature");
    if (found == keys.end()) return false;
    std::string signature;
    if (!decode_base64(found->second, signature)) return false;

    xstd::sha512 hash;
    for (auto const& [key, value] : keys) {
        if (key == "signature") continue;
        std::string line = key + "=" + value + "\n";
        hash.update(line.data(), line.size());
    }
    if (payload) {
        hash.update("", 1); // the NUL that separates lines and payload
        hash.update(payload->data(), payload->size());
    }
    std::string const digest = hash.finish();
    if (public_key.size() > INT_MAX) return false;
    return verify_rsa(bytes(public_key), int(public_key.size()), bytes(signature), int(signature.size()),
                      bytes(digest), int(digest.size())) == 1;
}

} // namespace rulo
