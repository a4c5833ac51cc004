// A small XML document model for flat settings files: a document that is its own root node,
// element nodes with attributes, an in-place parser and a tab-indented writer.
//
// Read: elements, attributes in double quotes, simple text, and at the top level headers,
// comments and document type lines; the five predefined entities are decoded in attribute
// values. A malformed text ends the parse where the fault is found and keeps the tree built so
// far; so does nesting deeper than kMaxDepth.
// Written: the header line, one element per line indented by tabs, attributes escaped.
//
// Ownership: nodes and attributes are reference counted; their parent's collection holds the one
// reference, so a tree is owned from the top and destroying a document destroys it all.
// Thread safety: none; a document belongs to one thread at a time.
#pragma once

#include "VKCollection.h"
#include "VKString.h"

namespace XML {

class Doc;

// Encodes & ' > < " as entities, in place.
void preStreaming(VKString& text);
// Decodes the five entities, in place; other entities and character references stay.
void postStreaming(VKString& text);

class Attribute : public VKObject
{
public:
    explicit Attribute(const char* name);
    Attribute(const char* name, const char* value);
    Attribute(const char* name, int value);
    Attribute(const char* name, float value);
    Attribute(const char* name, bool value);
    ~Attribute() override;

    void setName(const char* name) { m_name.assign(name); }
    const char* getName() const { return m_name; }
    void setValue(const char* value) { m_value.assign(value); }
    void setValue(int value);
    void setValue(unsigned int value);
    void setValue(float value);
    void setValue(bool value);
    const char* getValue() const { return m_value; }
    // C library conversions: 0 for a value that holds no number.
    int getValueLong() const;
    unsigned int getValueULong() const;
    bool getValueBool() const;
    float getValueFloat() const;

    // Appends ` name="escaped value"`; nothing for an empty name.
    void buildXML(VKString& out) const;

private:
    VKString m_name;
    VKString m_value;
};

class Node : public VKObject
{
public:
    // Deepest element nesting the parser accepts.
    static constexpr int kMaxDepth = 256;

    explicit Node(Doc* doc);
    Node(Doc* doc, const VKString& name);
    Node(Doc* doc, const char* name);
    ~Node() override;

    void setName(const VKString& name) { m_name.assign(name); }
    const VKString& getName() const { return m_name; }
    const char* getText() const { return m_text; }
    Doc* getDoc() const { return m_doc; }

    Attribute* addAttribute(const VKString& name, int value);
    Attribute* addAttribute(const VKString& name, float value);
    Attribute* addAttribute(const VKString& name, const VKString& value);
    // Null for null, for an attribute already held, or when the collection is full.
    Attribute* addAttribute(Attribute* attribute);
    Node* addNode(const VKString& name);
    Node* addNode(const char* name);
    // Adopts `node` into this node's document. Null as addAttribute.
    Node* addNode(Node* node);
    void releaseNode(Node* node) { m_children.remove(node); }
    void releaseAttribute(Attribute* attribute) { m_attributes.remove(attribute); }

    // Exact, case-sensitive name.
    Node* getNode(const VKString& name) const;
    // Name ignoring the case of A-Z.
    Node* getNode(const char* name) const;
    Node* getNode(int index) const;
    Attribute* getAttribute(int index) const;
    int getCountNodes() const { return m_children.count(); }
    int getCountAttributes() const { return m_attributes.count(); }
    Node* getOrCreateNode(const VKString& name);
    Node* getOrCreateNode(const char* name);
    // First attribute of that name ignoring case; with `create`, appended when missing.
    Attribute* getAttribute(const char* name, bool create);
    // The value, or the empty string.
    const char* getAttributeValue(const char* name) const;
    // The value converted, or `def` when there is no such attribute.
    void getAttributeValue(const char* name, VKString& out, const char* def) const;
    void getAttributeValue(const char* name, int& out, int def) const;
    void getAttributeValue(const char* name, bool& out, bool def) const;
    void getAttributeValue(const char* name, unsigned int& out, unsigned int def) const;
    void getAttributeValue(const char* name, float& out, float def) const;

    void removeChilds() { m_children.removeAll(); }
    void removeAttributes() { m_attributes.removeAll(); }
    void clear();
    void countNodesAndAttributes(int& nodes, int& attributes) const;
    // Appends this node and its subtree; level -1 writes only the children, at level 0.
    void buildXML(VKString& out, int level) const;
    static void addLevelString(VKString& out, int level);

    // Parser hooks for the content of a header and of a comment; false stops the parse.
    virtual bool onTagHeader(char* content);
    virtual bool onTagComment(char* content);

    // The parser's steps over a writable, zero-terminated text; each returns the position after
    // what it consumed, or null for a malformed text.
    char* doParse(char* text);
    char* parseNode(char* text);
    static char* skipNodeName(char* text);
    static char* skipAttrName(char* text);
    static char* skipAttrValue(char* text);

private:
    Attribute* findAttribute(const char* name) const;
    // Appends a newly made attribute, or destroys it when that is refused.
    Attribute* addNewAttribute(Attribute* attribute);
    char* parseNodeAt(char* text, int depth);
    // Cuts a header or comment at `closing` and hands its content to `hook`.
    char* parseHookedTag(char* content, const char* closing, bool (Node::*hook)(char*));
    // Creates the child element whose "<" is at `text` and parses it.
    char* parseChild(char* text, int depth);

    Doc* m_doc;
    VKString m_name;
    VKString m_text;
    VKCollection m_children;
    VKCollection m_attributes;
};

class Doc : public Node
{
public:
    Doc();
    explicit Doc(const VKString& text);
    ~Doc() override;

    // Parses a private copy of `text`, adding to the tree.
    void load(const VKString& text);
    // Parses `text` in place, overwriting its characters, adding to the tree.
    void parse(VKString& text);
    // Replaces `out` with the whole document as text.
    void buildXML(VKString& out) const;
    bool onTagHeader(char* content) override;
    const VKString& getDocBase() const { return m_docBase; }

private:
    VKString m_docBase;
};

} // namespace XML
