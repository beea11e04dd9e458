// The dialog descriptions' XML reader: its edge cases in one table, its
// limits (escape characters at the ends of a buffer, nesting depth), and a
// differential run against xmllint --c14n over seeded documents of the
// subset both read alike.
#include "tests/support/shell.h"
#include "tovan/dialogs/xml_parser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using tovan::_tagParseInfo;
using tovan::_tagXMLNode;

// name[attr=value;...]"text"{children}
std::string dump(_tagXMLNode const& n) {
    std::string out = n.name;
    if (!n.attrs.empty()) {
        out += "[";
        for (auto const& a : n.attrs) out += a->name + "=" + a->value + ";";
        out += "]";
    }
    if (!n.value.empty()) out += "\"" + n.value + "\"";
    if (!n.children.empty()) {
        out += "{";
        for (auto const& c : n.children) out += dump(*c);
        out += "}";
    }
    return out;
}

// The text in a heap block of exactly its size, so that AddressSanitizer
// sees a read one byte past the end.
struct exact_text {
    explicit exact_text(std::string const& t)
        : size(t.size()), bytes(new char[std::max<std::size_t>(t.size(), 1)]) {
        std::memcpy(bytes.get(), t.data(), t.size());
    }
    char const* begin() const { return bytes.get(); }
    char const* end() const { return bytes.get() + size; }
    std::size_t size;
    std::unique_ptr<char[]> bytes;
};

struct outcome {
    std::string tree;
    long position; // from the text's start; -1 for null
    int error;
};

outcome parse(std::string const& text, _tagParseInfo pi = {}) {
    exact_text t(text);
    _tagXMLNode root;
    char const* p = root.Load(t.begin(), t.end(), &pi);
    return {dump(root), p ? static_cast<long>(p - t.begin()) : -1L, pi.error_code};
}

TEST(XmlParser, EdgeCases) {
    struct row {
        char const* text;
        char const* tree;
        long position; // -2: the text's end
        int error;
    } const rows[] = {
        {"<a/>", "a", -2, 0},
        {"<a />", "a", -2, 0},
        {"<a b=1 c='x y' d>", "a[b=1;c=x y;d=;]", -2, 0},
        {"<a>&lt;b&gt; &amp;amp;</a>", "a\"<b> &amp;\"", -2, 0},
        {"<a>x\\<y</a>", "a\"x<y\"", -2, 0},
        {"<a>a\\\\b</a>", "a\"a\\b\"", -2, 0},
        {"<a>  text  ", "a\"text\"", -2, 0},
        {"<a><b/>", "a{b}", -2, 0},
        {"<a><b/> ", "a{b}", -2, 0},
        {"<a>v<b/> ", "a\"v\"{b}", -1, 0}, // white space after the last child of an unclosed element
        {"<a x=\"no end", "a[x=no end;]", -1, 0},
        {"<a><b/></c>", "a{b}", -1, 3},
        {"<a/b>", "a", -1, 1},
        {"<a b", "a", -1, 4},
        {"<a></a", "a", -1, 2},
        // After a slip the elements being read stay, with what was read of them.
        {"<a><b k=1>t</b", "a{b[k=1;]\"t\"}", -1, 2},
        {"<a><c/><b k='v x", "a{cb[k=v x;]}", -1, 0},
        {"<a><b>t<c k=1 / ></b></a>", "a{b\"t\"{c[k=1;]}}", -1, 1},
        {"<a><b/><cd", "a{bcd}", -1, 0},
        {"</a>", "", 0, 0},
        {"no tag", "", -1, 0},
        {"", "", -1, 0},
        {"<a>pre<b/>post</a>", "a\"pre\"{b}", -2, 0},
        {"<a><b/>post<c/></a>", "a\"post\"{bc}", -2, 0},
        {"<a><b>t</b></a >tail", "a{b\"t\"}", 16, 0},
        {"<a>&bogus; &lt</a>", "a\"&bogus; &lt\"", -2, 0},
        {"<a><>x</></a>", "a", -2, 0}, // an element without a name is read and dropped
        {"<a k = 'v' >t</a>", "a[k=v;]\"t\"", -2, 0},
        {"<a k=\"a\\\"b\">", "a[k=a\"b;]", -2, 0},
        {"<\xc3\xa9 \xff='\xa0x\xa0'>\xa0\xc3\xa9</\xc3\xa9>", "\xc3\xa9[\xff=\xa0x\xa0;]\"\xa0\xc3\xa9\"",
         -2, 0},
    };
    for (auto const& r : rows) {
        SCOPED_TRACE(r.text);
        outcome const o = parse(r.text);
        EXPECT_EQ(o.tree, r.tree);
        EXPECT_EQ(o.position, r.position == -2 ? static_cast<long>(std::strlen(r.text)) : r.position);
        EXPECT_EQ(o.error, r.error);
    }
}

TEST(XmlParser, OptionsAndTheFirstErrorOnly) {
    _tagParseInfo raw;
    raw.trim = false;
    raw.escape_char = 0;
    raw.decode_refs = false;
    EXPECT_EQ(parse("<a> x\\&lt; </a>", raw).tree, "a\" x\\&lt; \"");

    _tagParseInfo pi;
    _tagXMLNode n;
    EXPECT_EQ(n.Load(std::string("<a><b/></c>"), &pi), nullptr);
    EXPECT_EQ(n.Load(std::string("<a/b>"), &pi), nullptr);
    EXPECT_EQ(pi.error_code, 3);
    EXPECT_EQ(pi.error_text, "'<a> ... </c>' is not wel-formed.");
    EXPECT_TRUE(pi.failed);

    // A string ends at its first NUL byte.
    EXPECT_EQ(dump(n), "a");
    ASSERT_NE(n.Load(std::string("<a>x\0<b/></a>", 13)), nullptr);
    EXPECT_EQ(dump(n), "a\"x\"");
}

TEST(XmlParser, EscapeLastInTextOrRangeStaysInside) {
    // Each text ends in the escape character, inside a value, a quoted or
    // unquoted attribute value or a tag; none may read past its end.
    for (std::string const text : {"<a>x\\", "<a b='x\\", "<a b=x\\", "<a b=\"\\", "<a>\\", "<a><b>\\"}) {
        SCOPED_TRACE(text);
        outcome const o = parse(text);
        EXPECT_EQ(o.error, 0);
        EXPECT_EQ(o.tree.find('\\'), std::string::npos);
    }
    exact_text t("ab\\");
    EXPECT_EQ(tovan::_tcsechr(t.begin(), t.end(), 'z', '\\'), t.end());
    EXPECT_EQ(tovan::_tcsepbrk(t.begin(), t.end(), "z", '\\'), t.end());
    EXPECT_EQ(tovan::_tcselen(t.begin(), t.end(), '\\'), 2u);
    EXPECT_EQ(tovan::_tcsecpy(t.begin(), t.end(), '\\'), "ab");
}

TEST(XmlParser, NestingIsBounded) {
    auto nested = [](int levels) {
        std::string s;
        for (int i = 0; i < levels; ++i) s += "<e>";
        for (int i = 0; i < levels; ++i) s += "</e>";
        return s;
    };
    outcome const ok = parse(nested(256));
    EXPECT_EQ(ok.error, 0);
    EXPECT_EQ(ok.position, 256 * 7);
    EXPECT_EQ(std::count(ok.tree.begin(), ok.tree.end(), 'e'), 256);

    for (int levels : {257, 100000}) {
        outcome const too_deep = parse(nested(levels));
        EXPECT_EQ(too_deep.position, -1);
        EXPECT_EQ(too_deep.error, 5);
    }

    // A hand-built tree deeper than any parse is freed without recursion.
    _tagXMLNode deep;
    _tagXMLNode* at = &deep;
    for (int i = 0; i < 200000; ++i) at = at->AppendChild("e", "");
    deep.Close();
    EXPECT_EQ(deep.GetChildCount(), 0);
}

// ---------------------------------------------------------------------------
// Against xmllint: documents of elements with quoted attributes, text before
// the first child and the six references; no escape character, no white
// space at the ends of a text or value, no comments.

class document_maker {
public:
    explicit document_maker(unsigned seed) : m_rng(seed) {}

    std::string element(int depth) {
        std::string name = make_name();
        std::string s = "<" + name;
        int const attrs = pick(4);
        std::vector<std::string> used;
        for (int i = 0; i < attrs; ++i) {
            std::string a = make_name();
            if (std::find(used.begin(), used.end(), a) != used.end()) continue;
            used.push_back(a);
            char const quote = pick(2) ? '"' : '\'';
            s += " " + a + "=" + quote + make_text(quote) + quote;
        }
        int const children = depth < 5 ? pick(4) : 0;
        if (children == 0 && pick(3) == 0) return s + "/>";
        s += ">";
        if (pick(3) != 0) s += make_text('<');
        for (int i = 0; i < children; ++i) s += element(depth + 1);
        return s + "</" + name + ">";
    }

private:
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(m_rng); }

    std::string make_name() {
        static char const first[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_";
        static char const rest[] = "abcdefghijklmnopqrstuvwxyz0123456789._-";
        std::string n(1, first[pick(sizeof first - 1)]);
        for (int i = pick(6); i > 0; --i) n += rest[pick(sizeof rest - 1)];
        return n;
    }

    // A text or attribute value that is neither empty nor starts or ends in a blank.
    std::string make_text(char quote) {
        // clang-format off
        static char const* const pieces[] = {
            "a", "Z", "0", "x y", "&amp;", "&quot;", "&#39;", "&apos;", "&lt;", "&gt;", "\xc3\xa9",
            "\xd0\xb6", "\xe2\x82\xac", ">", "\"", "'", "=", "/", "\xf0\x9f\x98\x80", "-", ";",
            "a\tb", "a\nb"};
        // clang-format on
        std::string t;
        for (int i = 1 + pick(5); i > 0; --i) {
            std::string p = pieces[pick(sizeof pieces / sizeof *pieces)];
            if (p.size() == 1 && p[0] == quote) continue;
            // Values are normalised by xmllint; keep tabs and line ends to texts.
            if (quote != '<' && p.find_first_of("\t\n") != std::string::npos) continue;
            t += p;
        }
        return t.empty() ? "t" : t;
    }

    std::mt19937 m_rng;
};

// Canonical XML's escapes: each character's form in a text and in an attribute value.
std::string c14n_escape(std::string const& s, bool attribute) {
    struct rule {
        char c;
        char const *in_text, *in_value;
    };
    static rule const rules[] = {{'&', "&amp;", "&amp;"}, {'<', "&lt;", "&lt;"}, {'>', "&gt;", ">"},
                                 {'"', "\"", "&quot;"},   {'\t', "\t", "&#x9;"}, {'\n', "\n", "&#xA;"},
                                 {'\r', "&#xD;", "&#xD;"}};
    std::string out;
    for (char c : s) {
        auto r = std::find_if(std::begin(rules), std::end(rules), [c](rule const& x) { return x.c == c; });
        out += r == std::end(rules) ? std::string(1, c) : attribute ? r->in_value : r->in_text;
    }
    return out;
}

// Canonical XML of a parsed tree whose text all comes before its children.
std::string c14n(_tagXMLNode const& n) {
    std::vector<std::pair<std::string, std::string>> attrs;
    for (auto const& a : n.attrs) attrs.emplace_back(a->name, a->value);
    std::sort(attrs.begin(), attrs.end());
    std::string out = "<" + n.name;
    for (auto const& [name, value] : attrs) out += " " + name + "=\"" + c14n_escape(value, true) + "\"";
    out += ">" + c14n_escape(n.value, false);
    for (auto const& c : n.children) out += c14n(*c);
    return out + "</" + n.name + ">";
}

std::string xmllint_c14n(test_support::scratch_dir const& dir, std::string const& doc, int* status) {
    std::string const path = dir.file("doc.xml");
    test_support::write_file(path, doc);
    test_support::command_output o = test_support::run_command("xmllint --c14n " + path + " 2>/dev/null");
    *status = o.status;
    return o.out;
}

TEST(XmlParser, AgreesWithXmllint) {
    test_support::scratch_dir dir;
    document_maker maker(20261209);
    std::vector<std::string> docs;
    std::string all = "<r>", ours = "<r>";
    for (int i = 0; i < 2000; ++i) {
        docs.push_back(maker.element(0));
        _tagParseInfo pi;
        _tagXMLNode n;
        char const* p = n.Load(docs.back(), &pi);
        ASSERT_EQ(p, docs.back().c_str() + docs.back().size()) << docs.back() << "\n" << pi.error_text;
        all += docs.back();
        ours += c14n(n);
    }
    all += "</r>";
    ours += "</r>";
    // One xmllint run over all of them as children of one root; on a
    // difference, the first document that differs alone.
    int status = 0;
    std::string const theirs = xmllint_c14n(dir, all, &status);
    ASSERT_EQ(status, 0);
    ASSERT_GT(theirs.size(), 100000u);
    if (theirs != ours) {
        for (auto const& doc : docs) {
            _tagXMLNode n;
            n.Load(doc);
            ASSERT_EQ(xmllint_c14n(dir, doc, &status), c14n(n)) << doc;
        }
    }

    // A closing tag of another name fails both.
    for (int i = 0; i < 10; ++i) {
        std::string doc = docs[static_cast<std::size_t>(i)];
        std::size_t const close = doc.rfind("</");
        if (close == std::string::npos)
            doc = "<q>" + doc + "</w>";
        else
            doc.insert(close + 2, "X");
        outcome const o = parse(doc);
        EXPECT_EQ(o.position, -1) << doc;
        EXPECT_EQ(o.error, 3) << doc;
        xmllint_c14n(dir, doc, &status);
        EXPECT_NE(status, 0) << doc;
    }
}

} // namespace
