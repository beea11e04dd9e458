// A small, forgiving XML reader for the dialog descriptions of dialogs.ini,
// whose texts may come from the server or the peer ("dialog" map).
//
// It reads elements, attributes (quoted or not) and the text between tags,
// decodes six references and knows no declarations, comments, processing
// instructions or CDATA. Byte strings in the text's own encoding (UTF-8).
//
// Bounded: the scans never pass the end they are given (an escape character
// last in a range ends the scan and is dropped), elements nest at most
// xml_max_depth levels, and the parse is a loop, not a recursion, so no
// input can exhaust the stack. Only the first error of a parse is recorded.
//
// Pure: no I/O, no shared state; one tree belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace tovan {

// The deepest nesting read; the outermost element is the first level.
inline constexpr int xml_max_depth = 256;

// Error codes of _tagParseInfo::error_code.
enum xml_error {
    xml_error_none = 0,
    xml_error_not_closed = 1,  // a "/" in a tag not followed by ">"
    xml_error_closing_tag = 2, // a closing tag without an ending blank or ">"
    xml_error_mismatch = 3,    // a closing tag of another name
    xml_error_attribute = 4,   // an attribute name that runs to the end
    xml_error_too_deep = 5,    // more than xml_max_depth nested elements
};

// One reference of a table: "&lt;" stands for '<'.
struct _tagXmlEntity {
    char entity;
    char ref[11];
    int ref_len;
};

struct _tagXMLEntitys {
    std::vector<_tagXmlEntity> entities;

    // The first entry whose reference begins at p (before end), else null.
    _tagXmlEntity const* GetEntity(char const* p, char const* end) const;
    // Every reference of the table replaced by its character, left to right
    // in one pass; other "&" sequences stay.
    std::string Ref2Entity(std::string const& text) const;
};

// &amp; &quot; &#39; &apos; &lt; &gt;
extern _tagXMLEntitys const entityDefault;

// Parse options and the first error.
struct _tagParseInfo {
    bool trim = true;        // trim white space around values
    bool decode_refs = true; // decode references in values
    _tagXMLEntitys const* ref_table = &entityDefault;
    char escape_char = '\\'; // 0: none
    bool force = false;      // carried, not used by the parser
    char const* source = nullptr;
    bool failed = false;
    char const* error_at = nullptr;
    int error_code = xml_error_none;
    std::string error_text;
};

extern _tagParseInfo const piDefault;

// Options for writing a tree out as text. The program writes no XML; they
// stand beside the parse options for whoever does.
struct _tagDispOption {
    bool newline = true;         // a line break after each element
    bool reference_value = true; // values written with references
    char value_quotation_mark = '"';
    _tagXMLEntitys const* ref_table = &entityDefault;
    int tab_base = 0; // indentation of the outermost element
};

extern _tagDispOption const optDefault;

struct _tagXMLNode;

struct _tagXMLAttr {
    std::string name;
    std::string value;
    _tagXMLNode* parent = nullptr;
};

struct _tagXMLNode {
    std::string name;
    std::string value; // the text before the first child (or after one, when there was none before)
    _tagXMLNode* parent = nullptr;
    std::vector<std::unique_ptr<_tagXMLNode>> children;
    std::vector<std::unique_ptr<_tagXMLAttr>> attrs;

    _tagXMLNode() = default;
    _tagXMLNode(_tagXMLNode const&) = delete;
    _tagXMLNode& operator=(_tagXMLNode const&) = delete;
    ~_tagXMLNode();

    // Parses one element of [text, end) into this node (cleared first).
    // Returns the position just after the element, the position of "</" when
    // the next tag is a closing one (nothing read), the end when the text
    // ends inside unclosed elements, or null on an error or when the text has
    // no "<". After an error the elements being read when it struck stay in
    // the tree with the attributes, text and children read before it. pi
    // receives the first error; null parses with piDefault.
    char const* Load(char const* text, char const* end, _tagParseInfo* pi = nullptr);
    // The same over a string, which ends at its first NUL byte if it has one.
    char const* Load(std::string const& text, _tagParseInfo* pi = nullptr);

    // Frees every child and attribute (iteratively, at any depth).
    void Close();

    int GetChildCount() const { return static_cast<int>(children.size()); }
    _tagXMLNode* GetChild(int i) const;
    _tagXMLAttr* GetAttr(std::string const& name) const;
    // The value of the first attribute of that name, null when there is none.
    std::string const* GetAttrValue(std::string const& name) const;

    static std::unique_ptr<_tagXMLNode> CreateNode(std::string name, std::string value);
    static std::unique_ptr<_tagXMLAttr> CreateAttr(std::string name, std::string value);
    _tagXMLNode* AppendChild(std::unique_ptr<_tagXMLNode> node);
    _tagXMLNode* AppendChild(std::string name, std::string value);
    _tagXMLAttr* AppendAttr(std::unique_ptr<_tagXMLAttr> attr);
    _tagXMLAttr* AppendAttr(std::string name, std::string value);
};

// Character scans over [p, end). "Escape-aware" scans skip the character
// after an escape character; an escape character last in the range ends the
// scan at end.
bool xml_is_space(char c);
char const* _tcsskip(char const* p, char const* end);
char const* _tcsechr(char const* p, char const* end, char c, char escape);
char const* _tcsepbrk(char const* p, char const* end, char const* set, char escape);
// Length and copy of the range with escape characters removed (a doubled one
// gives one; one last in the range is dropped).
std::size_t _tcselen(char const* p, char const* end, char escape);
std::string _tcsecpy(char const* p, char const* end, char escape);
bool XIsEmptyString(char const* p, char const* end);
// Stores the range into target, trimmed when trim is set and unescaped when
// escape is not 0; an empty range leaves target unchanged.
void _SetString(char const* p, char const* end, std::string& target, bool trim, char escape);

} // namespace tovan
