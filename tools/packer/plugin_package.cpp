#include "tools/packer/plugin_package.h"

#include "rulo/base64.h"
#include "rulo/kv_text.h"
#include "tools/packer/appendix_writer.h"
#include "tools/packer/pack_error.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

extern char** environ;

namespace packer {

namespace {

// Runs openssl with args and waits; throws unless it exits with status 0.
void run_openssl(std::vector<std::string> args) {
    args.insert(args.begin(), "openssl");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    int const rc = ::posix_spawnp(&pid, "openssl", nullptr, nullptr, argv.data(), environ);
    if (rc != 0) throw pack_error(std::string("cannot start openssl: ") + std::strerror(rc));
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) throw pack_error(std::string("waiting for openssl: ") + std::strerror(errno));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw pack_error("openssl " + args[1] + " failed (status " + std::to_string(status) + ")");
}

std::string slurp(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void spill(std::string const& path, std::string const& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out.flush()) throw pack_error("cannot write \"" + path + "\"");
}

// A scratch directory for openssl's input and output, removed with its files.
class scratch {
public:
    scratch() {
        char const* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/plugin_pack.XXXXXX";
        if (!::mkdtemp(pattern.data())) throw pack_error(std::string("mkdtemp: ") + std::strerror(errno));
        m_dir = pattern;
    }
    ~scratch() {
        for (char const* f : {"/canonical", "/digest", "/signature"}) ::unlink((m_dir + f).c_str());
        ::rmdir(m_dir.c_str());
    }
    scratch(scratch const&) = delete;
    scratch& operator=(scratch const&) = delete;
    std::string file(char const* name) const { return m_dir + "/" + name; }

private:
    std::string m_dir;
};

} // namespace

std::string plugin_container(std::string const& dir, std::vector<archive_entry> const& files) {
    manifest_record archive;
    archive.type = 7;
    archive.name = dir;
    archive.entries = files;
    return archive_container(archive);
}

std::string plugin_canonical_form(std::map<std::string, std::string> const& head,
                                  std::string const& payload) {
    auto keys = head;
    keys.erase("signature");
    return rulo::join_map(keys) + '\0' + payload;
}

std::string plugin_package(std::map<std::string, std::string> const& head, std::string const& payload) {
    for (auto const& [k, v] : head)
        if (k.find_first_of("=\r\n") != std::string::npos || v.find_first_of("\r\n") != std::string::npos ||
            k.find('\0') != std::string::npos || v.find('\0') != std::string::npos)
            throw pack_error("head line \"" + k + "\" holds a line end, NUL or \"=\" in its key");
    return rulo::join_map(head) + '\0' + payload;
}

std::string plugin_sign(std::string const& pem, std::string const& canonical, plugin_signing how) {
    scratch s;
    spill(s.file("canonical"), canonical);
    if (how == plugin_signing::digest_info) {
        run_openssl({"dgst", "-sha512", "-sign", pem, "-out", s.file("signature"), s.file("canonical")});
    } else {
        run_openssl({"dgst", "-sha512", "-binary", "-out", s.file("digest"), s.file("canonical")});
        if (slurp(s.file("digest")).size() != 64) throw pack_error("openssl dgst gave no SHA-512 digest");
        run_openssl({"pkeyutl", "-sign", "-inkey", pem, "-pkeyopt", "rsa_padding_mode:pkcs1", "-in",
                     s.file("digest"), "-out", s.file("signature")});
    }
    std::string const signature = slurp(s.file("signature"));
    if (signature.empty()) throw pack_error("openssl made an empty signature");
    return rulo::base64_encode(signature);
}

} // namespace packer
