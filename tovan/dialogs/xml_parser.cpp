#include "tovan/dialogs/xml_parser.h"

#include <cstring>

namespace tovan {

_tagXMLEntitys const entityDefault{{
    {'&', "&amp;", 5},
    {'"', "&quot;", 6},
    {'\'', "&#39;", 5},
    {'\'', "&apos;", 6},
    {'<', "&lt;", 4},
    {'>', "&gt;", 4},
}};

_tagParseInfo const piDefault{};

_tagDispOption const optDefault{};

_tagXmlEntity const* _tagXMLEntitys::GetEntity(char const* p, char const* end) const {
    for (auto const& e : entities) {
        int const n = e.ref_len;
        if (n <= 0 || n > static_cast<int>(sizeof e.ref) - 1) continue;
        if (end - p >= n && std::memcmp(p, e.ref, static_cast<std::size_t>(n)) == 0) return &e;
    }
    return nullptr;
}

std::string _tagXMLEntitys::Ref2Entity(std::string const& text) const {
    char const* p = text.data();
    char const* const end = p + text.size();
    char const* amp = static_cast<char const*>(std::memchr(p, '&', text.size()));
    if (!amp) return text;
    std::string out;
    out.reserve(text.size());
    while (amp) {
        out.append(p, amp);
        if (_tagXmlEntity const* e = GetEntity(amp, end)) {
            out += e->entity;
            p = amp + e->ref_len;
        } else {
            out += '&';
            p = amp + 1;
        }
        amp = static_cast<char const*>(std::memchr(p, '&', static_cast<std::size_t>(end - p)));
    }
    out.append(p, end);
    return out;
}

// ---------------------------------------------------------------------------
// Character scans.

bool xml_is_space(char c) {
    unsigned char const u = static_cast<unsigned char>(c);
    return u == ' ' || (u >= '\t' && u <= '\r');
}

char const* _tcsskip(char const* p, char const* end) {
    while (p < end && xml_is_space(*p)) ++p;
    return p;
}

char const* _tcsechr(char const* p, char const* end, char c, char escape) {
    if (escape == 0 || escape == c) {
        void const* hit = std::memchr(p, c, static_cast<std::size_t>(end - p));
        return hit ? static_cast<char const*>(hit) : end;
    }
    while (p < end) {
        if (*p == escape) {
            if (end - p < 2) return end;
            p += 2;
            continue;
        }
        if (*p == c) return p;
        ++p;
    }
    return end;
}

char const* _tcsepbrk(char const* p, char const* end, char const* set, char escape) {
    while (p < end) {
        if (escape != 0 && *p == escape) {
            if (end - p < 2) return end;
            p += 2;
            continue;
        }
        if (*p != 0 && std::strchr(set, *p)) return p;
        ++p;
    }
    return end;
}

std::size_t _tcselen(char const* p, char const* end, char escape) {
    if (escape == 0) return static_cast<std::size_t>(end - p);
    std::size_t n = 0;
    while (p < end) {
        if (*p == escape) {
            if (end - p < 2) break;
            ++p;
        }
        ++n;
        ++p;
    }
    return n;
}

std::string _tcsecpy(char const* p, char const* end, char escape) {
    if (escape == 0 || !std::memchr(p, escape, static_cast<std::size_t>(end - p))) return std::string(p, end);
    std::string out;
    out.reserve(_tcselen(p, end, escape));
    while (p < end) {
        if (*p == escape) {
            if (end - p < 2) break;
            ++p;
        }
        out += *p++;
    }
    return out;
}

bool XIsEmptyString(char const* p, char const* end) {
    return !p || _tcsskip(p, end) == end;
}

void _SetString(char const* p, char const* end, std::string& target, bool trim, char escape) {
    if (trim) {
        p = _tcsskip(p, end);
        while (end > p && xml_is_space(end[-1])) --end;
    }
    if (p >= end) return;
    target = _tcsecpy(p, end, escape);
}

// ---------------------------------------------------------------------------
// The parse.

namespace {

void record_error(_tagParseInfo& pi, char const* at, int code, std::string text) {
    if (pi.failed) return;
    pi.failed = true;
    pi.error_at = at;
    pi.error_code = code;
    pi.error_text = std::move(text);
}

// Text of an element or attribute value: trimmed, unescaped, decoded.
void set_text(char const* p, char const* end, std::string& target, _tagParseInfo const& pi) {
    std::string s;
    _SetString(p, end, s, pi.trim, pi.escape_char);
    if (s.empty()) return;
    if (pi.decode_refs && pi.ref_table) s = pi.ref_table->Ref2Entity(s);
    target = std::move(s);
}

bool is_name_end(char c) {
    return xml_is_space(c) || c == '/' || c == '>';
}

bool is_attr_name_end(char c) {
    return xml_is_space(c) || c == '=' || c == '/' || c == '>';
}

char const* load_attributes(_tagXMLNode& node, char const* p, char const* end, _tagParseInfo& pi) {
    char const esc = pi.escape_char;
    for (;;) {
        p = _tcsskip(p, end);
        if (p == end) return nullptr;
        if (*p == '>' || *p == '/') return p;
        char const* n = p;
        while (n < end && !is_attr_name_end(*n)) ++n;
        if (n == end) {
            record_error(pi, p, xml_error_attribute, "<" + node.name + "> attribute has error ");
            return nullptr;
        }
        _tagXMLAttr* attr = node.AppendAttr(std::string(p, n), std::string());
        p = _tcsskip(n, end);
        if (p == end) return nullptr;
        if (*p != '=') continue; // an attribute without a value
        p = _tcsskip(p + 1, end);
        if (p == end) return nullptr;
        if (*p == '"' || *p == '\'') {
            char const* close = _tcsechr(p + 1, end, *p, esc);
            set_text(p + 1, close, attr->value, pi);
            if (close == end) return nullptr; // no closing quote: the rest was the value
            p = close + 1;
        } else {
            char const* stop = _tcsepbrk(p, end, " \t\n\v\f\r>", esc);
            set_text(p, stop, attr->value, pi);
            if (stop == end) return nullptr;
            p = stop;
        }
    }
}

enum class head_kind { failed, closing, empty, open };
struct head {
    head_kind kind;
    char const* pos;
};

// Reads "<name attributes" and either "/>" or ">" with the text after it.
head read_head(_tagXMLNode& node, char const* p, char const* end, _tagParseInfo& pi) {
    char const* lt = static_cast<char const*>(std::memchr(p, '<', static_cast<std::size_t>(end - p)));
    if (!lt) return {head_kind::failed, nullptr};
    if (end - lt >= 2 && lt[1] == '/') return {head_kind::closing, lt};
    char const* n = lt + 1;
    while (n < end && !is_name_end(*n)) ++n;
    // A name cut short by the text's end is kept as read.
    node.name.assign(lt + 1, n);
    if (n == end) return {head_kind::failed, nullptr};
    char const* q = load_attributes(node, n, end, pi);
    if (!q) return {head_kind::failed, nullptr};
    if (*q == '/') {
        if (end - q >= 2 && q[1] == '>') return {head_kind::empty, q + 2};
        record_error(pi, q, xml_error_not_closed, "Element must be closed.");
        return {head_kind::failed, nullptr};
    }
    ++q; // past '>'
    char const* text_end = _tcsechr(q, end, '<', pi.escape_char);
    set_text(q, text_end, node.value, pi);
    return {head_kind::open, text_end};
}

// Reads the closing tag at "</" for node; the position after it or null.
char const* read_closing(_tagXMLNode const& node, char const* p, char const* end, _tagParseInfo& pi) {
    char const* name = _tcsskip(p + 2, end);
    char const* n = name;
    while (n < end && !xml_is_space(*n) && *n != '>') ++n;
    if (n == end) {
        record_error(pi, p, xml_error_closing_tag, "it must be closed with </" + node.name + ">");
        return nullptr;
    }
    if (static_cast<std::size_t>(n - name) != node.name.size() ||
        std::memcmp(name, node.name.data(), node.name.size()) != 0) {
        record_error(pi, p, xml_error_mismatch,
                     "'<" + node.name + "> ... </" + std::string(name, n) + ">' is not wel-formed.");
        return nullptr;
    }
    if (*n == '>') return n + 1;
    n = _tcsskip(n, end);
    if (n < end && *n == '>') ++n;
    return n;
}

void attach(std::unique_ptr<_tagXMLNode> child, _tagXMLNode* parent) {
    if (!child->name.empty()) parent->AppendChild(std::move(child));
}

} // namespace

char const* _tagXMLNode::Load(char const* text, char const* end, _tagParseInfo* info) {
    _tagParseInfo local;
    _tagParseInfo& pi = info ? *info : local;
    Close();
    name.clear();
    value.clear();
    if (!text || end < text) return nullptr;
    head const first = read_head(*this, text, end, pi);
    if (first.kind != head_kind::open) return first.pos;

    // The open elements below this one, innermost last; each is attached to
    // its parent once it is complete.
    std::vector<std::unique_ptr<_tagXMLNode>> open;
    auto current = [&]() -> _tagXMLNode* { return open.empty() ? this : open.back().get(); };
    // After a child, an element that has no text yet takes the text that follows.
    auto text_after_child = [&](char const* p) {
        _tagXMLNode* cur = current();
        if (!cur->value.empty() || p == end || *p == '<') return p;
        char const* q = _tcsechr(p, end, '<', pi.escape_char);
        set_text(p, q, cur->value, pi);
        return q;
    };

    // Each open element ends where the parse stops, with what was read of
    // it so far, so a slip late in the text keeps everything before it.
    auto end_open = [&](char const* result) {
        while (!open.empty()) {
            std::unique_ptr<_tagXMLNode> done = std::move(open.back());
            open.pop_back();
            attach(std::move(done), current());
        }
        return result;
    };

    char const* p = first.pos;
    for (;;) {
        if (p == end) return end_open(end); // text that ends without its closing tags
        auto child = std::make_unique<_tagXMLNode>();
        child->parent = current();
        head const h = read_head(*child, p, end, pi);
        switch (h.kind) {
        case head_kind::failed:
            // The child whose tag broke off keeps its name and the
            // attributes read before the break.
            attach(std::move(child), current());
            return end_open(nullptr);
        case head_kind::closing: {
            char const* after = read_closing(*current(), h.pos, end, pi);
            if (!after) return end_open(nullptr);
            if (open.empty()) return after;
            std::unique_ptr<_tagXMLNode> done = std::move(open.back());
            open.pop_back();
            attach(std::move(done), current());
            p = text_after_child(after);
            break;
        }
        case head_kind::empty:
            attach(std::move(child), current());
            p = text_after_child(h.pos);
            break;
        case head_kind::open:
            if (static_cast<int>(open.size()) + 2 > xml_max_depth) {
                record_error(pi, p, xml_error_too_deep,
                             "elements nested deeper than " + std::to_string(xml_max_depth) + " levels");
                return end_open(nullptr); // the element past the limit is not kept
            }
            open.push_back(std::move(child));
            p = h.pos;
            break;
        }
    }
}

char const* _tagXMLNode::Load(std::string const& text, _tagParseInfo* pi) {
    char const* begin = text.c_str();
    void const* nul = std::memchr(begin, 0, text.size());
    char const* end = nul ? static_cast<char const*>(nul) : begin + text.size();
    return Load(begin, end, pi);
}

_tagXMLNode::~_tagXMLNode() {
    Close();
}

void _tagXMLNode::Close() {
    // A hand-built tree may be deeper than a parsed one: free it without recursion.
    std::vector<std::unique_ptr<_tagXMLNode>> work = std::move(children);
    children.clear();
    attrs.clear();
    while (!work.empty()) {
        std::unique_ptr<_tagXMLNode> n = std::move(work.back());
        work.pop_back();
        for (auto& c : n->children) work.push_back(std::move(c));
        n->children.clear();
    }
}

_tagXMLNode* _tagXMLNode::GetChild(int i) const {
    if (i < 0 || i >= GetChildCount()) return nullptr;
    return children[static_cast<std::size_t>(i)].get();
}

_tagXMLAttr* _tagXMLNode::GetAttr(std::string const& attr_name) const {
    for (auto const& a : attrs)
        if (a->name == attr_name) return a.get();
    return nullptr;
}

std::string const* _tagXMLNode::GetAttrValue(std::string const& attr_name) const {
    _tagXMLAttr const* a = GetAttr(attr_name);
    return a ? &a->value : nullptr;
}

std::unique_ptr<_tagXMLNode> _tagXMLNode::CreateNode(std::string node_name, std::string node_value) {
    auto n = std::make_unique<_tagXMLNode>();
    n->name = std::move(node_name);
    n->value = std::move(node_value);
    return n;
}

std::unique_ptr<_tagXMLAttr> _tagXMLNode::CreateAttr(std::string attr_name, std::string attr_value) {
    auto a = std::make_unique<_tagXMLAttr>();
    a->name = std::move(attr_name);
    a->value = std::move(attr_value);
    return a;
}

_tagXMLNode* _tagXMLNode::AppendChild(std::unique_ptr<_tagXMLNode> node) {
    node->parent = this;
    children.push_back(std::move(node));
    return children.back().get();
}

_tagXMLNode* _tagXMLNode::AppendChild(std::string node_name, std::string node_value) {
    return AppendChild(CreateNode(std::move(node_name), std::move(node_value)));
}

_tagXMLAttr* _tagXMLNode::AppendAttr(std::unique_ptr<_tagXMLAttr> attr) {
    attr->parent = this;
    attrs.push_back(std::move(attr));
    return attrs.back().get();
}

_tagXMLAttr* _tagXMLNode::AppendAttr(std::string attr_name, std::string attr_value) {
    return AppendAttr(CreateAttr(std::move(attr_name), std::move(attr_value)));
}

} // namespace tovan
