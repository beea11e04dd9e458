// Plugin packages made by plugin_pack and signed by openssl, checked,
// unpacked and cached by plugin_def; payloads cross-checked with xz.
#include "tests/support/shell.h"
#include "tests/tovan/package_fixture.h"
#include "tovan/plugins/plugin_def.h"
#include "tovan/plugins/plugin_translations.h"

#include "rulo/kv_container.h"
#include "rulo/packet.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <stdexcept>

using test_support::read_file;
using test_support::run_command;
using test_support::scratch_dir;
using test_support::shell_quote;
using test_support::write_file;
using tovan::plugin_def;
using tovan::plugin_extracted;
using tovan::plugin_record;
using tovan_test::exists;
using tovan_test::key;
using tovan_test::package_env;

namespace {

plugin_record head_of(std::string const& package) {
    plugin_record head;
    std::string payload;
    rulo::kv_load_content(package, head, &payload);
    return head;
}

std::string payload_of(std::string const& package) {
    return package.substr(package.find('\0') + 1);
}

// Counts the files left below a directory.
int files_below(std::string const& dir) {
    auto r = run_command("find " + shell_quote(dir) + " -type f | wc -l");
    return std::atoi(r.out.c_str());
}

} // namespace

// The public key the program carries is the build key's, in the blob form,
// and the program exports it.
TEST(PluginPackage, PublicKeyIsTheBuildKey) {
    auto modulus = run_command("openssl rsa -in " + key + " -noout -modulus");
    ASSERT_EQ(modulus.status, 0);
    std::string hex = modulus.out.substr(modulus.out.find('=') + 1, 1024);
    std::string expected = std::string("\x02\x00", 2);
    for (size_t i = 0; i < hex.size(); i += 2) expected += char(std::stoi(hex.substr(i, 2), nullptr, 16));
    expected += std::string("\x00\x03\x01\x00\x01", 5);
    ASSERT_EQ(public_raw_len, 519u);
    EXPECT_EQ(std::string(reinterpret_cast<char const*>(public_raw), public_raw_len), expected);

    auto nm = run_command(std::string("nm -D ") + TOVAN_DESK);
    EXPECT_NE(nm.out.find(" public_raw\n"), std::string::npos) << nm.out;
    EXPECT_NE(nm.out.find(" public_raw_len\n"), std::string::npos);
}

// One good package through the whole check: unpacked into a locked
// directory, saved to the cache by a rename, the second check neither
// unpacks nor saves, and emptying the table leaves nothing behind.
TEST(PluginPackage, GoodPackageIsUnpackedLockedCachedAndRemoved) {
    package_env env;
    std::string const pkg =
        env.pack("--dir demo_1_0 --file libdemo.so=" + env.source("lib", "ELF-ish") +
                 " --file data/deep/x.txt=" + env.source("x", "x") +
                 " --head name=demo --head version=1.0 --head platform=linux64 --sign " + key);
    plugin_record record = head_of(pkg);
    std::string message;
    std::unique_ptr<plugin_def> def(plugin_def::prepare_plugin(pkg, false, record, message, true));
    ASSERT_TRUE(def) << message;
    EXPECT_EQ(def->state, 7);
    EXPECT_EQ(def->get_full_name(), "demo_1_0");

    std::string const lib = plugin_extracted::library_file("demo_1_0");
    ASSERT_EQ(lib, env.work() + "/demo_1_0/libdemo.so");
    EXPECT_EQ(read_file(lib), "ELF-ish");
    EXPECT_NE(run_command("flock -n " + env.work() + "/demo_1_0/writeacc.dat true").status, 0);

    std::string const cached = env.home() + "/.dravo/demo_1_0_linux64.plugin";
    EXPECT_EQ(read_file(cached), pkg);
    struct stat st {};
    ASSERT_EQ(::stat((env.home() + "/.dravo").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(files_below(env.home() + "/.dravo"), 1); // no temporary left

    // Checked again, from the cache file: the unpacked entry is reused and nothing is saved.
    ::unlink(cached.c_str());
    def.reset(plugin_def::prepare_plugin(def->get_plugin_path(env.home() + "/.dravo", "plugin") + ".none",
                                         true, record, message, true));
    EXPECT_FALSE(def); // a missing file is no package
    write_file(env.file("copy.plugin"), pkg);
    def.reset(plugin_def::prepare_plugin(env.file("copy.plugin"), true, record, message, true));
    ASSERT_TRUE(def);
    EXPECT_FALSE(exists(cached));
    EXPECT_EQ(plugin_extracted::library_file("demo_1_0"), lib);

    plugin_extracted::remove_all();
    EXPECT_FALSE(exists(env.work() + "/demo_1_0"));
    EXPECT_EQ(files_below(env.work()), 0);
}

// What is refused, and the text the user is shown for it.
TEST(PluginPackage, RefusedPackagesAndTheirMessages) {
    package_env env;
    std::string const lib = " --file liba.so=" + env.source("lib", "lib");
    std::string const heads = " --head name=demo --head version=2.0 --head platform=linux64";
    std::string const good = env.pack("--dir d" + lib + heads + " --sign " + key);

    ASSERT_EQ(
        run_command("umask 077 && openssl genrsa -out " + env.file("other.pem") + " 4096 2>/dev/null").status,
        0);
    std::string const other_key = env.pack("--dir d" + lib + heads + " --sign " + env.file("other.pem"));
    std::string const digest_info = env.pack("--dir d" + lib + heads + " --sign " + key + " --digest-info");
    std::string const unsigned_pkg = env.pack("--dir d" + lib + heads + " --unsigned");
    std::string flipped = good;
    flipped.back() ^= 1;
    std::string const sig = head_of(good).at("signature");
    std::string short_sig = good;
    short_sig.replace(short_sig.find(sig), sig.size(), sig.substr(0, sig.size() - 4));

    std::string const invalid = "Plugin \"demo_2_0\" not used due to invalid signature.\r\n";
    struct row {
        char const* what;
        std::string package;
        plugin_record record;
        std::string message;
    } const rows[] = {
        {"flipped payload bit", flipped, head_of(good), invalid},
        {"signature cut short", short_sig, head_of(short_sig), invalid},
        {"another key", other_key, head_of(other_key), invalid},
        {"DigestInfo signature", digest_info, head_of(digest_info), invalid},
        {"unsigned", unsigned_pkg, head_of(good),
         "Plugin \"demo_2_0\" not used due to mismatch in signature.\r\n"},
        {"another package's signature in the record",
         good,
         {{"name", "demo"}, {"version", "3.0"}, {"signature", head_of(other_key).at("signature")}},
         "Plugin \"demo_2_0(demo_3_0)\" not used due to mismatch in signature.\r\n"},
    };
    for (auto const& r : rows) {
        std::string message;
        std::unique_ptr<plugin_def> def(
            plugin_def::prepare_plugin(r.package, false, r.record, message, true));
        EXPECT_FALSE(def) << r.what;
        EXPECT_EQ(message, r.message) << r.what;
    }
    EXPECT_FALSE(exists(env.home() + "/.dravo/demo_2_0_linux64.plugin"));
    EXPECT_EQ(files_below(env.work()), 0);
}

// The head is compared by content, not by its bytes: reordered and spaced
// lines still verify. A record naming the package differently (same
// signature) wins: files, cache and look-up follow the record. An unsafe
// platform gets no cache file.
TEST(PluginPackage, HeadFormAndRecordNames) {
    package_env env;
    std::string const pkg =
        env.pack("--dir pkgdir --file libp.so=" + env.source("lib", "lib") +
                 " --head name=pkgname --head version=1 --head platform=linux64 --sign " + key);
    plugin_record head = head_of(pkg);
    std::string respaced;
    for (auto it = head.rbegin(); it != head.rend(); ++it)
        respaced += "  " + it->first + " = " + it->second + " \r\n";
    respaced += '\0' + payload_of(pkg);

    plugin_record record = head;
    record["name"] = "shown";
    record["version"] = "4.5";
    std::string message;
    std::unique_ptr<plugin_def> def(plugin_def::prepare_plugin(respaced, false, record, message, true));
    ASSERT_TRUE(def) << message;
    EXPECT_EQ(def->get_full_name(), "shown_4_5");
    EXPECT_NE(plugin_extracted::library_file("shown_4_5"), "");
    EXPECT_EQ(plugin_extracted::library_file("pkgname_1"), "");
    EXPECT_TRUE(exists(env.home() + "/.dravo/shown_4_5_linux64.plugin"));

    record["name"] = "other";
    record["platform"] = "../x";
    def.reset(plugin_def::prepare_plugin(pkg, false, record, message, true));
    ASSERT_TRUE(def);
    EXPECT_FALSE(def->has_safe_cache_name());
    EXPECT_FALSE(exists(env.home() + "/x_4_5_.plugin"));
    EXPECT_EQ(files_below(env.home()), 1);
}

// Which unpacked file is the library, and that a package without one leaves
// nothing unpacked.
TEST(PluginPackage, LibraryChoice) {
    package_env env;
    struct row {
        char const* files;
        char const* lib_key;
        char const* library; // "" when refused
    } const rows[] = {
        {"--file b.so=SRC --file a.so=SRC", "", "a.so"},
        {"--file libx.so.1=SRC --file readme=SRC", "", ""},
        {"--file libx.so.1=SRC --file readme=SRC", "libx.so.1", "libx.so.1"},
    };
    int n = 0;
    for (auto const& r : rows) {
        std::string files = r.files;
        for (size_t at; (at = files.find("SRC")) != std::string::npos;)
            files.replace(at, 3, env.source("s", "s"));
        std::string const version = std::to_string(++n);
        std::string const pkg =
            env.pack("--dir lc" + version + " " + files + " --head name=lc --head version=" + version +
                     (*r.lib_key ? std::string(" --head lib=") + r.lib_key : "") + " --sign " + key);
        std::string message;
        std::unique_ptr<plugin_def> def(plugin_def::prepare_plugin(pkg, false, head_of(pkg), message, true));
        if (*r.library) {
            ASSERT_TRUE(def) << r.files;
            EXPECT_EQ(plugin_extracted::library_file("lc_" + version),
                      env.work() + "/lc" + version + "/" + r.library);
        } else {
            EXPECT_FALSE(def) << r.files;
            EXPECT_EQ(message, "");
            EXPECT_FALSE(exists(env.work() + "/lc" + version));
        }
    }
}

// Payloads agree with xz both ways: a payload xz made (its size filled in,
// as our reader wants it stated) unpacks, and ours decodes with xz -dc.
TEST(PluginPackage, PayloadsAgreeWithXz) {
    package_env env;
    std::string const container = env.file("container");
    std::string const ours =
        env.pack("--dir xzd --file libxz.so=" + env.source("lib", std::string(5000, 'q')) +
                 " --head name=xz --head version=1 --container-out " + container + " --sign " + key);
    EXPECT_EQ(test_support::filter_command("xz -dc --format=lzma", payload_of(ours)), read_file(container));

    std::string lzma = test_support::filter_command("xz -c --format=lzma", read_file(container));
    uint64_t size = read_file(container).size();
    for (int i = 0; i < 8; ++i) lzma[5 + i] = char(size >> (8 * i));
    write_file(env.file("payload"), lzma);
    std::string const theirs =
        env.pack("--payload " + env.file("payload") + " --head name=xz --head version=2 --sign " + key);
    std::string message;
    std::unique_ptr<plugin_def> def(
        plugin_def::prepare_plugin(theirs, false, head_of(theirs), message, false));
    ASSERT_TRUE(def) << message;
    EXPECT_EQ(read_file(plugin_extracted::library_file("xz_2")), std::string(5000, 'q'));
}

// Translation answers: stored as text plus identifier, read back either way;
// empty answers store nothing, a corrupt one is refused and keeps the file.
TEST(PluginPackage, TranslationAnswers) {
    package_env env;
    plugin_def def(plugin_record{{"name", "tr"}, {"version", "1"}, {"platform", "linux64"}});
    EXPECT_EQ(def.get_tversion(), "1");
    EXPECT_EQ(def.get_translations(true), "");

    std::string const text = "[en]\nHELLO=Hello\n";
    std::string lzma = test_support::filter_command("xz -c --format=lzma", text);
    for (int i = 0; i < 8; ++i) lzma[5 + i] = char(uint64_t(text.size()) >> (8 * i));
    std::string answer = lzma;
    rulo_packet_push(answer, std::string("0123456789abcdef"));

    EXPECT_TRUE(def.save_translations(answer));
    EXPECT_EQ(def.get_translations(true), "0123456789abcdef");
    EXPECT_EQ(def.get_translations(false), text);
    std::string const stored = read_file(env.home() + "/.dravo/tr_1_linux64.trans");

    std::string empty_id = lzma;
    rulo_packet_push(empty_id, std::string());
    std::string corrupt = lzma.substr(0, lzma.size() - 3);
    rulo_packet_push(corrupt, std::string("fedcba9876543210"));
    EXPECT_TRUE(def.save_translations(""));
    EXPECT_TRUE(def.save_translations(empty_id));
    EXPECT_FALSE(def.save_translations(corrupt));
    EXPECT_EQ(read_file(env.home() + "/.dravo/tr_1_linux64.trans"), stored);
}

// Requests through a stand-in for the control call: what is asked, one call
// per full name, and what each kind of answer leaves behind.
TEST(PluginPackage, TranslationRequests) {
    package_env env;
    std::vector<std::vector<std::string>> asked;
    std::vector<long> limits;
    std::string answer;
    bool answers = true;
    tovan::translation_rpc rpc{[&](std::vector<std::string> const& texts) {
                                   asked.push_back(texts);
                                   return rulo::object<rulo::rpcWrapper::sCall>(new rulo::rpcWrapper::sCall);
                               },
                               [&](rulo::object<rulo::rpcWrapper::sCall>, long limit) {
                                   limits.push_back(limit);
                                   if (!answers) throw std::runtime_error("async_call_ret");
                                   return netbuf::from_string(answer);
                               }};
    std::vector<std::string> log;
    tovan::plugin_translations tr([&](std::string const& l) { log.push_back(l); });

    std::string const text = "[en]\nHELLO=Hi\n";
    std::string lzma = test_support::filter_command("xz -c --format=lzma", text);
    for (int i = 0; i < 8; ++i) lzma[5 + i] = char(uint64_t(text.size()) >> (8 * i));
    std::string stored_answer = lzma;
    rulo_packet_push(stored_answer, std::string("00112233aabbccdd"));
    std::string corrupt = "\x5d garbage";
    rulo_packet_push(corrupt, std::string("1111111111111111"));

    struct row {
        char const* what;
        std::string answer;
        bool answers;
        char const* identifier_asked;
        bool marked;
    } const rows[] = {
        {"first", stored_answer, true, "", true},
        {"repeat, empty answer", "", true, "00112233aabbccdd", true},
        {"corrupt answer", corrupt, true, "00112233aabbccdd", false},
        {"no answer in time", "", false, "00112233aabbccdd", false},
    };
    for (auto const& r : rows) {
        plugin_def entry(plugin_record{{"name", "tp"}, {"version", "1"}, {"platform", "linux64"}});
        answer = r.answer;
        answers = r.answers;
        asked.clear();
        tr.start(rpc, entry);
        tr.start(rpc, entry); // pending already: no second call
        ASSERT_EQ(asked.size(), 1u) << r.what;
        EXPECT_EQ(asked[0], (std::vector<std::string>{"Tovan", "Tovan", "tp", "1", r.identifier_asked,
                                                      "linux64", "lzma"}))
            << r.what;
        tr.finish(rpc, entry, 2);
        EXPECT_FALSE(tr.pending("tp_1")) << r.what;
        EXPECT_EQ(entry.take("tr_downloaded"), r.marked ? "true" : "") << r.what;
        EXPECT_EQ(entry.get_translations(false), text) << r.what;
        if (r.marked) {
            tr.start(rpc, entry); // has its texts: no further call
            EXPECT_EQ(asked.size(), 1u) << r.what;
        }
    }
    EXPECT_EQ(limits, (std::vector<long>{2, 2, 2, 2}));
    plugin_def none(plugin_record{{"name", "none"}, {"version", "1"}});
    tr.finish(rpc, none); // nothing pending: nothing asked, nothing logged
    EXPECT_EQ(limits.size(), 4u);
    EXPECT_EQ(
        std::count_if(log.begin(), log.end(),
                      [](std::string const& l) { return l == "starting plugin translation download tp_1"; }),
        4);
}
