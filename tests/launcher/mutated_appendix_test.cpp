// The packed test launcher with bytes of its appendix changed (a fixed seed,
// so a failure repeats): whatever the launcher makes of it, it ends by its own
// SIGKILL (or a plain exit 0), never by a crash or a hang, and it writes
// nothing outside its cache slot: its home, working directory, temporary
// directory and its own folder look the same afterwards, and inside the
// private cache prefix only cache roots, archive directories and numbered
// slots appear above whatever was unpacked.
#include "launcher/appendix_format.h"
#include "tests/launcher/launch_process.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using launch_test::temp_dir;
using launch_test::tree;

// Offsets worth mutating more often than the rest: record headers and the
// first bytes of each body (the LZMA-alone header, lengths and names). The
// compressed data fills most of the appendix and would take nearly every
// mutation otherwise.
std::vector<std::size_t> structure_offsets(std::string_view appendix, std::size_t base) {
    std::vector<std::size_t> out;
    launcher::byte_reader r(appendix);
    while (r.left > 0) {
        std::size_t const at = appendix.size() - r.left;
        launcher::record rec;
        std::size_t padding = 0;
        auto const st = launcher::next_record(r, rec, padding);
        std::size_t const hot =
            st == launcher::record_status::ok ? std::min<std::size_t>(rec.body.size(), 48) : 0;
        for (std::size_t i = 0; i < launcher::record_header_size + hot && at + i < appendix.size(); ++i)
            out.push_back(base + at + i);
        if (st != launcher::record_status::ok) break;
    }
    return out;
}

std::string mutate(std::string file, std::size_t appendix_at, std::vector<std::size_t> const& hot,
                   std::mt19937& rng) {
    static constexpr unsigned char interesting[] = {0, 1,  2,    3,    4,    5,    6,    7,    8,
                                                    9, 10, 0x2e, 0x2f, 0x7f, 0x80, 0xe0, 0xe1, 0xff};
    auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
    for (unsigned c = 0, changes = 1 + unsigned(pick(3)); c < changes; ++c) {
        std::size_t at = pick(3) < 2 ? hot[pick(hot.size())] : appendix_at + pick(file.size() - appendix_at);
        switch (pick(4)) {
        case 0:
            file[at] = char(file[at] ^ (1 << pick(8)));
            break;
        case 1:
            file[at] = char(pick(256));
            break;
        case 2:
            file[at] = char(interesting[pick(sizeof interesting)]);
            break;
        default: // cut the file short (but keep the marker)
            if (pick(4) == 0) file.resize(std::max(appendix_at, at));
        }
    }
    return file;
}

// Inside the prefix: "SepraCache_<euid>_<n>/", then an archive directory, then
// numbered slots; only inside a slot may anything else appear.
bool in_cache_layout(std::string const& path) {
    std::string const cache = "SepraCache_" + std::to_string(::geteuid()) + "_";
    auto numeric = [](std::string const& s) {
        return !s.empty() && s.find_first_not_of("0123456789") == s.npos;
    };
    std::vector<std::string> parts;
    std::istringstream in(path);
    for (std::string part; std::getline(in, part, '/');) parts.push_back(part);
    return path.rfind(cache, 0) == 0 && numeric(parts[0].substr(cache.size())) &&
           (parts.size() > 3 || path.back() == '/') && (parts.size() < 3 || numeric(parts[2]));
}

TEST(launcher_mutated_appendix, ends_by_its_own_kill_and_writes_only_into_the_slot) {
    std::string const original = launch_test::read_file(PACKED_PAYLOAD);
    std::string marker;
    launcher::append_marker(marker);
    std::size_t const at = original.find(marker);
    ASSERT_NE(at, std::string::npos);
    std::size_t const appendix_at = at + launcher::marker_size;
    ASSERT_LT(appendix_at, original.size());
    auto const hot = structure_offsets(std::string_view(original).substr(appendix_at), appendix_at);
    ASSERT_FALSE(hot.empty());

    std::mt19937 rng(20240611);
    for (int i = 0; i < 150; ++i) {
        SCOPED_TRACE("mutant " + std::to_string(i));
        temp_dir home, cwd, tmp, root, own;
        std::string const program = own.path + "/packed";
        launch_test::write_file(program, mutate(original, appendix_at, hot, rng), 0755);
        auto const watched = [&] {
            std::vector<std::string> all;
            for (auto* d : {&home, &cwd, &tmp})
                for (auto const& f : tree(d->path)) all.push_back(d->path + "/" + f);
            return all;
        };
        auto const before = watched();
        // timeout(1) ends a hang with SIGTERM and status 124, and passes on
        // any other end as its own.
        auto const r = launch_test::run("/usr/bin/env",
                                        {"env", "-C", cwd.path, "HOME=" + home.path, "TMPDIR=" + tmp.path,
                                         "DESK_LAUNCHER_ROOT=" + root.path, "timeout", "60", program},
                                        {});
        EXPECT_TRUE(r.signal == SIGKILL || (r.signal == 0 && r.exit_code == 0))
            << "signal " << r.signal << ", exit " << r.exit_code << "\n"
            << r.err;
        EXPECT_EQ(watched(), before);
        // Its own folder: only the mutant (which a delete-self record may remove).
        for (auto const& f : tree(own.path)) EXPECT_EQ(f, "packed");
        for (auto const& f : tree(root.path)) EXPECT_TRUE(in_cache_layout(f)) << f << "\n" << r.err;
    }
}

} // namespace
