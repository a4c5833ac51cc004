#include "XMLDoc.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "VKCharacters.h"

namespace XML {
namespace {

constexpr const char* kHeader = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n";
constexpr int kReservePerObject = 32;

bool isNameChar(char c)
{
    return cfIsCSymbol(c) || cfIsDigit(c);
}

bool startsElement(const char* p)
{
    return p[0] == '<' && (cfIsAlpha(p[1]) || cfIsDigit(p[1]));
}

// True when `text` begins with `keyword`, ignoring the case of A-Z; never reads past the end of `text`.
bool startsWithIgnoringCase(const char* text, const char* keyword)
{
    for (; *keyword != 0; ++text, ++keyword) {
        if (*text == 0 || cfToLower(*text) != cfToLower(*keyword)) {
            return false;
        }
    }
    return true;
}

char* skipSpace(char* p)
{
    while (cfIsSpace(*p)) {
        ++p;
    }
    return p;
}

// Drops white space at the start of the text and directly after every ">".
void compact(char* text)
{
    char* out = text;
    bool drop = true;
    for (const char* in = text; *in != 0; ++in) {
        if (drop && cfIsSpace(*in)) {
            continue;
        }
        *out++ = *in;
        drop = *in == '>';
    }
    *out = 0;
}

} // namespace

// The predefined entities in encoding order; decoding runs backwards so "&amp;" comes last.
constexpr const char* kEntities[][2] = {
    {"&", "&amp;"}, {"'", "&apos;"}, {">", "&gt;"}, {"<", "&lt;"}, {"\"", "&quot;"},
};

void preStreaming(VKString& text)
{
    for (const auto& entity : kEntities) {
        text.replace(entity[0], entity[1]);
    }
}

void postStreaming(VKString& text)
{
    for (auto it = std::rbegin(kEntities); it != std::rend(kEntities); ++it) {
        text.replace((*it)[1], (*it)[0]);
    }
}

// ---- Attribute ----

Attribute::Attribute(const char* name) : m_name(name) {}

Attribute::Attribute(const char* name, const char* value) : m_name(name), m_value(value) {}

Attribute::Attribute(const char* name, int value) : m_name(name)
{
    setValue(value);
}

Attribute::Attribute(const char* name, float value) : m_name(name)
{
    setValue(value);
}

Attribute::Attribute(const char* name, bool value) : m_name(name)
{
    setValue(value);
}

Attribute::~Attribute() = default;

void Attribute::setValue(int value)
{
    m_value.printf("%d", value);
}

void Attribute::setValue(unsigned int value)
{
    m_value.printf("%u", value);
}

void Attribute::setValue(float value)
{
    m_value.printf("%e", static_cast<double>(value));
}

void Attribute::setValue(bool value)
{
    m_value.assign(value ? "1" : "0");
}

int Attribute::getValueLong() const
{
    return static_cast<int>(static_cast<unsigned long>(std::strtol(m_value, nullptr, 10)));
}

unsigned int Attribute::getValueULong() const
{
    return static_cast<unsigned int>(std::strtoul(m_value, nullptr, 10));
}

bool Attribute::getValueBool() const
{
    return std::strtol(m_value, nullptr, 10) != 0;
}

float Attribute::getValueFloat() const
{
    return static_cast<float>(std::strtod(m_value, nullptr));
}

void Attribute::buildXML(VKString& out) const
{
    if (m_name.isEmpty()) {
        return;
    }
    VKString value(m_value);
    preStreaming(value);
    out += " ";
    out += m_name;
    out += "=\"";
    out += value;
    out += "\"";
}

// ---- Node ----

Node::Node(Doc* doc) : m_doc(doc) {}

Node::Node(Doc* doc, const VKString& name) : m_doc(doc), m_name(name) {}

Node::Node(Doc* doc, const char* name) : m_doc(doc), m_name(name) {}

Node::~Node() = default;

Attribute* Node::addAttribute(const VKString& name, int value)
{
    return addNewAttribute(new Attribute(name, value));
}

Attribute* Node::addAttribute(const VKString& name, float value)
{
    return addNewAttribute(new Attribute(name, value));
}

Attribute* Node::addAttribute(const VKString& name, const VKString& value)
{
    return addNewAttribute(new Attribute(name, value));
}

Attribute* Node::addNewAttribute(Attribute* attribute)
{
    if (addAttribute(attribute) == nullptr) {
        delete attribute;
        return nullptr;
    }
    return attribute;
}

Attribute* Node::addAttribute(Attribute* attribute)
{
    if (attribute == nullptr || m_attributes.findSame(attribute) || !m_attributes.add(attribute)) {
        return nullptr;
    }
    return attribute;
}

Node* Node::addNode(const VKString& name)
{
    return addNode(static_cast<const char*>(name));
}

Node* Node::addNode(const char* name)
{
    auto* node = new Node(m_doc, name);
    if (addNode(node) == nullptr) {
        delete node;
        return nullptr;
    }
    return node;
}

Node* Node::addNode(Node* node)
{
    if (node == nullptr || node == this || m_children.findSame(node) || !m_children.add(node)) {
        return nullptr;
    }
    node->m_doc = m_doc;
    return node;
}

Node* Node::getNode(const VKString& name) const
{
    for (int i = 0; i < m_children.count(); ++i) {
        auto* child = static_cast<Node*>(m_children.atPos(i));
        if (child->m_name.strcmp(name) == 0) {
            return child;
        }
    }
    return nullptr;
}

Node* Node::getNode(const char* name) const
{
    for (int i = 0; i < m_children.count(); ++i) {
        auto* child = static_cast<Node*>(m_children.atPos(i));
        if (cfStricmp(child->m_name, name) == 0) {
            return child;
        }
    }
    return nullptr;
}

Node* Node::getNode(int index) const
{
    return static_cast<Node*>(m_children.atPos(index));
}

Attribute* Node::getAttribute(int index) const
{
    return static_cast<Attribute*>(m_attributes.atPos(index));
}

Node* Node::getOrCreateNode(const VKString& name)
{
    Node* node = getNode(name);
    return node != nullptr ? node : addNode(name);
}

Node* Node::getOrCreateNode(const char* name)
{
    Node* node = getNode(name);
    return node != nullptr ? node : addNode(name);
}

Attribute* Node::findAttribute(const char* name) const
{
    for (int i = 0; i < m_attributes.count(); ++i) {
        auto* attribute = static_cast<Attribute*>(m_attributes.atPos(i));
        if (cfStricmp(attribute->getName(), name) == 0) {
            return attribute;
        }
    }
    return nullptr;
}

Attribute* Node::getAttribute(const char* name, bool create)
{
    Attribute* attribute = findAttribute(name);
    if (attribute != nullptr || !create) {
        return attribute;
    }
    return addNewAttribute(new Attribute(name));
}

const char* Node::getAttributeValue(const char* name) const
{
    const Attribute* attribute = findAttribute(name);
    return attribute != nullptr ? attribute->getValue() : "";
}

void Node::getAttributeValue(const char* name, VKString& out, const char* def) const
{
    const Attribute* attribute = findAttribute(name);
    out.assign(attribute != nullptr ? attribute->getValue() : def);
}

void Node::getAttributeValue(const char* name, int& out, int def) const
{
    const Attribute* attribute = findAttribute(name);
    out = attribute != nullptr ? attribute->getValueLong() : def;
}

void Node::getAttributeValue(const char* name, bool& out, bool def) const
{
    const Attribute* attribute = findAttribute(name);
    out = attribute != nullptr ? attribute->getValueBool() : def;
}

void Node::getAttributeValue(const char* name, unsigned int& out, unsigned int def) const
{
    const Attribute* attribute = findAttribute(name);
    out = attribute != nullptr ? attribute->getValueULong() : def;
}

void Node::getAttributeValue(const char* name, float& out, float def) const
{
    const Attribute* attribute = findAttribute(name);
    out = attribute != nullptr ? attribute->getValueFloat() : def;
}

void Node::clear()
{
    removeAttributes();
    removeChilds();
}

void Node::countNodesAndAttributes(int& nodes, int& attributes) const
{
    nodes += m_children.count();
    attributes += m_attributes.count();
    for (int i = 0; i < m_children.count(); ++i) {
        static_cast<const Node*>(m_children.atPos(i))->countNodesAndAttributes(nodes, attributes);
    }
}

void Node::addLevelString(VKString& out, int level)
{
    for (int i = 0; i < level; ++i) {
        out += '\t';
    }
}

void Node::buildXML(VKString& out, int level) const
{
    const bool hasChildren = m_children.count() > 0;
    if (level != -1) {
        if (m_name.isEmpty()) {
            return;
        }
        addLevelString(out, level);
        out += "<";
        out += m_name;
        for (int i = 0; i < m_attributes.count(); ++i) {
            static_cast<const Attribute*>(m_attributes.atPos(i))->buildXML(out);
        }
        out += hasChildren ? ">\n" : "/>\n";
    }
    for (int i = 0; i < m_children.count(); ++i) {
        static_cast<const Node*>(m_children.atPos(i))->buildXML(out, level + 1);
    }
    if (level != -1 && hasChildren) {
        addLevelString(out, level);
        out += "</";
        out += m_name;
        out += ">\n";
    }
}

bool Node::onTagHeader(char*)
{
    return false;
}

bool Node::onTagComment(char*)
{
    return true;
}

char* Node::skipNodeName(char* text)
{
    // Moves the name one place left over the "<" so that it can end with a zero byte while the
    // character after it stays.
    char* p = text + 1;
    while (isNameChar(*p)) {
        ++p;
    }
    const auto length = static_cast<size_t>(p - text - 1);
    std::memmove(text, text + 1, length);
    text[length] = 0;
    return p;
}

char* Node::skipAttrName(char* text)
{
    while (isNameChar(*text)) {
        ++text;
    }
    return text;
}

char* Node::skipAttrValue(char* text)
{
    return std::strchr(text, '"');
}

char* Node::parseHookedTag(char* content, const char* closing, bool (Node::*hook)(char*))
{
    char* end = std::strstr(content, closing);
    if (end == nullptr) {
        return nullptr;
    }
    *end = 0;
    if (!(this->*hook)(content)) {
        return nullptr;
    }
    return end + std::strlen(closing);
}

char* Node::doParse(char* p)
{
    while (*p != 0) {
        if (*p != '<') {
            ++p;
            continue;
        }
        if (p[1] == '?') {
            p = parseHookedTag(p + 2, "?>", &Node::onTagHeader);
            if (p == nullptr) {
                return nullptr;
            }
        } else if (p[1] == '!') {
            if (p[2] == '-' && p[3] == '-') {
                p = parseHookedTag(p + 4, "-->", &Node::onTagComment);
                if (p == nullptr) {
                    return nullptr;
                }
            } else if (startsWithIgnoringCase(p + 2, "doctype")) {
                char* end = std::strchr(p + 9, '>');
                if (end == nullptr) {
                    return nullptr;
                }
                p = end + 1;
            } else {
                return nullptr;
            }
        } else if (startsElement(p)) {
            p = parseChild(p, 1);
            if (p == nullptr) {
                return nullptr;
            }
        } else {
            return nullptr;
        }
    }
    return p;
}

char* Node::parseNode(char* text)
{
    return parseNodeAt(text, 1);
}

char* Node::parseChild(char* text, int depth)
{
    if (depth > kMaxDepth) {
        return nullptr;
    }
    char* after = skipNodeName(text);
    // A new node cannot be held yet: append without the duplicate search of addNode.
    auto* child = new Node(m_doc, text);
    if (!m_children.add(child)) {
        delete child;
        return nullptr;
    }
    return child->parseNodeAt(after, depth);
}

char* Node::parseNodeAt(char* p, int depth)
{
    bool inStartTag = true;
    for (;;) {
        if (*p == 0) {
            return p;
        }
        if (cfIsSpace(*p)) {
            *p++ = 0;
            continue;
        }
        if (*p == '>') {
            inStartTag = false;
            ++p;
            continue;
        }
        if (p[0] == '/' && p[1] == '>') {
            return p + 2;
        }
        if (startsElement(p)) {
            p = parseChild(p, depth + 1);
            if (p == nullptr) {
                return nullptr;
            }
            continue;
        }
        if (inStartTag && cfIsAlpha(*p)) {
            char* nameEnd = skipAttrName(p);
            char* q = skipSpace(nameEnd);
            if (*q != '=') {
                return nullptr;
            }
            q = skipSpace(q + 1);
            if (*q != '"') {
                return nullptr;
            }
            char* valueEnd = skipAttrValue(q + 1);
            if (valueEnd == nullptr) {
                return nullptr;
            }
            *nameEnd = 0;
            *valueEnd = 0;
            VKString value(q + 1);
            postStreaming(value);
            auto* attribute = new Attribute(p, value);
            if (!m_attributes.add(attribute)) {
                delete attribute;
                return nullptr;
            }
            p = valueEnd + 1;
            continue;
        }
        if (p[0] == '<' && p[1] == '/') {
            char* nameEnd = skipAttrName(p + 2);
            const auto length = static_cast<size_t>(nameEnd - (p + 2));
            char* q = skipSpace(nameEnd);
            if (length != static_cast<size_t>(m_name.getLength()) ||
                std::memcmp(p + 2, m_name, length) != 0 || *q != '>') {
                return nullptr;
            }
            return q + 1;
        }
        if (*p == '<') {
            return nullptr;
        }
        // Text up to the next "<", kept as it stands.
        char* end = std::strchr(p, '<');
        if (end == nullptr) {
            return nullptr;
        }
        *end = 0;
        m_text.assign(p);
        *end = '<';
        p = end;
    }
}

// ---- Doc ----

Doc::Doc() : Node(this) {}

Doc::Doc(const VKString& text) : Node(this)
{
    load(text);
}

Doc::~Doc() = default;

void Doc::load(const VKString& text)
{
    VKString copy(text);
    parse(copy);
}

void Doc::parse(VKString& text)
{
    m_docBase.assign("");
    compact(text.getBuffer());
    text.countLength();
    doParse(text.getBuffer());
}

void Doc::buildXML(VKString& out) const
{
    int nodes = 0;
    int attributes = 0;
    countNodesAndAttributes(nodes, attributes);
    const long long reserve = static_cast<long long>(nodes + attributes) * kReservePerObject;
    out.setSize(reserve < INT_MAX / 2 ? static_cast<int>(reserve) : INT_MAX / 2);
    out.assign(kHeader);
    Node::buildXML(out, -1);
}

bool Doc::onTagHeader(char*)
{
    return true;
}

} // namespace XML
