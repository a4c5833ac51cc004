#include "XMLDoc.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The tree as one line: name[attr=value,...](text){children}.
std::string shape(const XML::Node& node)
{
    std::string s = static_cast<const char*>(node.getName());
    if (node.getCountAttributes() > 0) {
        s += "[";
        for (int i = 0; i < node.getCountAttributes(); ++i) {
            s += std::string(i > 0 ? "," : "") + node.getAttribute(i)->getName() + "=" +
                 node.getAttribute(i)->getValue();
        }
        s += "]";
    }
    if (*node.getText() != 0) {
        s += std::string("(") + node.getText() + ")";
    }
    if (node.getCountNodes() > 0) {
        s += "{";
        for (int i = 0; i < node.getCountNodes(); ++i) {
            if (i > 0) {
                s += ' ';
            }
            s += shape(*node.getNode(i));
        }
        s += "}";
    }
    return s;
}

std::string parsed(const char* text)
{
    XML::Doc doc;
    doc.load(VKString(text));
    return shape(doc);
}

} // namespace

TEST(XMLDoc, ParsesWellFormedAndMalformedTexts)
{
    struct Case
    {
        const char* text;
        const char* tree;
    };
    const Case cases[] = {
        {"<?xml version=\"1.0\"?>\n<!-- saved -->\n<!DOCTYPE settings>\n<Settings>\n\t<Dev a=\"1\" "
         "b=\"x&amp;y\"/>\n</Settings>\n",
         "{Settings{Dev[a=1,b=x&y]}}"},
        {"<a>hello</a>", "{a(hello)}"},
        {"<a>  hello  </a>", "{a(hello  )}"},
        {"<a><b/>x</a>", "{a(x){b}}"},
        {"<a v='1'/>", "{a}"},            // single quotes stop the parse
        {"<a><b></c></a>", "{a{b}}"},     // a mismatched closing tag stops it
        {"<a><b>", "{a{b}}"},             // open elements at the end are kept
        {"<a><!-- c --><b/></a>", "{a}"}, // no comments inside elements
        {"<a x = \"1\"  y=\"&lt;&gt;&quot;&apos;&amp;amp;\"></a >", "{a[x=1,y=<>\"'&amp;]}"},
        {"<a v=\"&#65;&unknown;\"/>", "{a[v=&#65;&unknown;]}"},
        {"<a><b/><b/></a><c/>", "{a{b b} c}"},
        {"<a>one<b/>two</a>", "{a(two){b}}"}, // the last run of text wins
        {"<a>&amp;</a>", "{a(&amp;)}"},       // element text is not decoded
        {"text outside <a/> more", "{a}"},
        {"<1x_y/>", "{1x_y}"},
        {"<a></A>", "{a}"},
        {"<a>text", "{a}"},
        {"<!do", ""},
        {"<!-", ""},
        {"<!--", ""},
        {"<?", ""},
        {"<", ""},
        {"<a b", "{a}"},
        {"<a b=", "{a}"},
        {"<a b=\"", "{a}"},
        {"<a </a>", "{a}"},
        {"<a/><?x?><b/>", "{a b}"},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parsed(c.text), c.tree) << c.text;
    }
}

TEST(XMLDoc, NestingBeyondTheLimitStopsThere)
{
    std::string deep;
    for (int i = 0; i < 100'000; ++i) {
        deep += "<n>";
    }
    XML::Doc doc;
    doc.load(VKString(deep.c_str()));
    int depth = 0;
    const XML::Node* node = &doc;
    while (node->getCountNodes() > 0) {
        node = node->getNode(0);
        ++depth;
    }
    EXPECT_EQ(depth, XML::Node::kMaxDepth);

    std::string fits;
    for (int i = 0; i < XML::Node::kMaxDepth; ++i) {
        fits += "<n>";
    }
    fits += "<last/>";
    XML::Doc shallow;
    shallow.load(VKString(fits.c_str()));
    node = &shallow;
    for (int i = 0; i < XML::Node::kMaxDepth; ++i) {
        ASSERT_EQ(node->getCountNodes(), 1);
        node = node->getNode(0);
    }
    EXPECT_EQ(node->getCountNodes(), 0); // the 257th level is refused
}

TEST(XMLDoc, LookupsAndTypedDefaults)
{
    XML::Doc doc(VKString(
        "<Settings><Dev volume=\"12\" gain=\"1.5\" on=\"1\" id=\"4000000000\" word=\"abc\"/></Settings>"));
    EXPECT_NE(doc.getNode("settings"), nullptr);
    EXPECT_EQ(doc.getNode(VKString("settings")), nullptr);
    EXPECT_NE(doc.getNode(VKString("Settings")), nullptr);
    EXPECT_EQ(doc.getNode(5), nullptr);
    EXPECT_EQ(doc.getNode(-1), nullptr);
    XML::Node* dev = doc.getNode("Settings")->getNode(0);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(dev->getDoc(), &doc);

    int i = 0;
    dev->getAttributeValue("VOLUME", i, 7);
    EXPECT_EQ(i, 12);
    dev->getAttributeValue("missing", i, 7);
    EXPECT_EQ(i, 7);
    dev->getAttributeValue("word", i, 7);
    EXPECT_EQ(i, 0);
    float f = 0;
    dev->getAttributeValue("gain", f, 0.0f);
    EXPECT_FLOAT_EQ(f, 1.5f);
    bool b = false;
    dev->getAttributeValue("on", b, false);
    EXPECT_TRUE(b);
    unsigned u = 0;
    dev->getAttributeValue("id", u, 1u);
    EXPECT_EQ(u, 4000000000u);
    VKString s;
    dev->getAttributeValue("Word", s, "def");
    EXPECT_STREQ(s, "abc");
    dev->getAttributeValue("none", s, "def");
    EXPECT_STREQ(s, "def");
    EXPECT_STREQ(dev->getAttributeValue("none"), "");
    EXPECT_EQ(dev->getAttribute("none", false), nullptr);
    XML::Attribute* made = dev->getAttribute("none", true);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(dev->getCountAttributes(), 6);
    EXPECT_EQ(dev->getAttribute("NONE", true), made);

    XML::Node* settings = doc.getOrCreateNode("SETTINGS");
    EXPECT_EQ(settings, doc.getNode("Settings"));
    XML::Node* other = doc.getOrCreateNode(VKString("SETTINGS"));
    EXPECT_NE(other, settings);
    EXPECT_EQ(doc.getCountNodes(), 2);

    EXPECT_EQ(settings->addNode(static_cast<XML::Node*>(nullptr)), nullptr);
    EXPECT_EQ(settings->addNode(dev), nullptr); // already held
    EXPECT_EQ(settings->addAttribute(static_cast<XML::Attribute*>(nullptr)), nullptr);
    settings->releaseNode(dev);
    EXPECT_EQ(settings->getCountNodes(), 0);

    // A second text adds to the tree.
    doc.load(VKString("<More/>"));
    EXPECT_EQ(doc.getCountNodes(), 3);
    doc.clear();
    EXPECT_EQ(doc.getCountNodes(), 0);
}

TEST(XMLDoc, AttributeValuesAndTheirText)
{
    XML::Attribute a("a", 1.5f);
    EXPECT_STREQ(a.getValue(), "1.500000e+00");
    EXPECT_FLOAT_EQ(a.getValueFloat(), 1.5f);
    a.setValue(-3);
    EXPECT_STREQ(a.getValue(), "-3");
    a.setValue(3000000000u);
    EXPECT_STREQ(a.getValue(), "3000000000");
    EXPECT_EQ(a.getValueULong(), 3000000000u);
    a.setValue(true);
    EXPECT_STREQ(a.getValue(), "1");
    EXPECT_TRUE(a.getValueBool());
    a.setValue(false);
    EXPECT_STREQ(a.getValue(), "0");
    a.setValue("  42abc");
    EXPECT_EQ(a.getValueLong(), 42);
    EXPECT_STREQ(XML::Attribute("b", 7).getValue(), "7");
    EXPECT_STREQ(XML::Attribute("b", true).getValue(), "1");

    VKString out;
    XML::Attribute("v", "<&>\"'").buildXML(out);
    EXPECT_STREQ(out, " v=\"&lt;&amp;&gt;&quot;&apos;\"");
    out.assign("");
    XML::Attribute("", "x").buildXML(out);
    EXPECT_STREQ(out, "");

    VKString text("a&b<c");
    XML::preStreaming(text);
    EXPECT_STREQ(text, "a&amp;b&lt;c");
    XML::postStreaming(text);
    EXPECT_STREQ(text, "a&b<c");
}

TEST(XMLDoc, WritesAndReadsBack)
{
    XML::Doc empty;
    VKString out("junk");
    empty.buildXML(out);
    EXPECT_STREQ(out, "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n");

    XML::Doc doc;
    XML::Node* settings = doc.addNode("Settings");
    XML::Node* device = settings->addNode(VKString("Device"));
    device->addAttribute(VKString("name"), VKString("A<B & \"C\""));
    device->addAttribute(VKString("rate"), 48000);
    device->addAttribute(VKString("gain"), 0.5f);
    XML::Node* nameless = settings->addNode("");
    nameless->addNode("Hidden");
    settings->addNode("Empty");
    doc.buildXML(out);
    EXPECT_STREQ(out, "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
                      "<Settings>\n"
                      "\t<Device name=\"A&lt;B &amp; &quot;C&quot;\" rate=\"48000\" gain=\"5.000000e-01\"/>\n"
                      "\t<Empty/>\n"
                      "</Settings>\n");

    XML::Doc back;
    back.load(out);
    EXPECT_EQ(shape(back), "{Settings{Device[name=A<B & \"C\",rate=48000,gain=5.000000e-01] Empty}}");

    // parse works in place on the caller's text.
    VKString text("  <a/>");
    XML::Doc inPlace;
    inPlace.parse(text);
    EXPECT_EQ(shape(inPlace), "{a}");
    EXPECT_STREQ(inPlace.getDocBase(), "");
}

namespace {

class StrictDoc : public XML::Doc
{
public:
    bool onTagHeader(char* content) override
    {
        headers += content;
        return false;
    }
    bool onTagComment(char* content) override
    {
        comments += content;
        return true;
    }
    std::string headers, comments;
};

} // namespace

TEST(XMLDoc, HooksSeeHeadersAndCommentsAndMayRefuse)
{
    StrictDoc doc;
    doc.load(VKString("<!--one--><a/><?xml v?><b/>"));
    EXPECT_EQ(doc.comments, "one");
    EXPECT_EQ(doc.headers, "xml v");
    EXPECT_EQ(shape(doc), "{a}");
}
