#include "message.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include <libxml/parser.h>

#include "log.hpp"
#include "secfunc.hpp"

namespace {

// The parser itself refuses entities nested more than 16 deep; this bound only
// keeps a document the parser let through from leading the walk astray.
constexpr int ENTITY_DEPTH_MAX = 40;

struct DocFree {
    void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
using Doc = std::unique_ptr<xmlDoc, DocFree>;

struct CtxtFree {
    void operator()(xmlParserCtxt* c) const { xmlFreeParserCtxt(c); }
};

// A node's name as the log shows it; CDATA sections and a few other kinds of
// node have none.
std::string nodeName(const xmlChar* name)
{
    return name ? logSafe(reinterpret_cast<const char*>(name)) : "(null)";
}

// libxml2's own diagnostics quote the message they are about; they reach
// stderr with the message's control characters escaped like every value. The
// library ends each piece with at most one line break of its own; one inside
// came from the message.
void parserDiagnostic(void*, const char* fmt, ...)
{
    char text[2048];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    std::string_view piece = text;
    bool line_end = !piece.empty() && piece.back() == '\n';
    if (line_end)
        piece.remove_suffix(1);
    std::fputs((logSafe(piece, true) + (line_end ? "\n" : "")).c_str(), stderr);
}

// The text of a field element's own text, CDATA and entity-reference
// children; entities are expanded in place, bounded in depth and size. Within
// the bounds it is what xmlNodeListGetString(doc, list, 1) gives: a value once
// any node with content took part (an undeclared entity has none).
void appendValue(xmlDocPtr doc, xmlNodePtr list, std::string& out, bool& any, int depth)
{
    for (xmlNodePtr n = list; n != nullptr && out.size() < FIELD_VALUE_MAX; n = n->next) {
        xmlEntityPtr ent = nullptr;
        if (n->type == XML_ENTITY_REF_NODE && (ent = xmlGetDocEntity(doc, n->name)) != nullptr) {
            if (depth < ENTITY_DEPTH_MAX)
                appendValue(doc, ent->children, out, any, depth + 1);
        } else if ((n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE ||
                    n->type == XML_ENTITY_REF_NODE) &&
                   n->content != nullptr) {
            any = true;
            out += reinterpret_cast<const char*>(n->content);
        }
    }
}

void take(xmlDocPtr doc, xmlNodePtr element, Field& field)
{
    field.found = true;
    field.value = fieldValue(doc, element);
}

} // namespace

std::optional<std::string> fieldValue(xmlDocPtr doc, xmlNodePtr element)
{
    std::string text;
    bool any = false;
    appendValue(doc, element->children, text, any, 0);
    if (!any)
        return std::nullopt;
    return std::string(cutText(text, FIELD_VALUE_MAX));
}

// Parses a message exactly as xmlReadMemory(text, strlen(text), "text.xml",
// NULL, 0) does. That call builds a parser context, a name dictionary and a
// copy of the text for every message, and asks its empty reader for more input
// at every element: together more than half of what a short message costs. A
// text that starts with a tag is parsed in place instead, on one parser
// context kept from message to message. Anything else (an XML declaration,
// which may name an encoding to convert from, a byte order mark) takes the
// ordinary call. The dictionary keeps every name it has seen, so a context that
// has gathered more than a few hundred is let go.
xmlDocPtr readMessage(const char* text)
{
    static std::unique_ptr<xmlParserCtxt, CtxtFree> kept;
    constexpr int NAMES_KEPT = 256;
    if (text[0] == '<' && text[1] != '?' && text[1] != '\0') {
        if (kept && xmlDictSize(kept->dict) > NAMES_KEPT)
            kept.reset();
        if (!kept)
            kept.reset(xmlNewParserCtxt());
        if (kept)
            return xmlCtxtReadDoc(kept.get(), reinterpret_cast<const xmlChar*>(text), "text.xml",
                                  nullptr, 0);
    }
    return xmlReadMemory(text, static_cast<int>(std::strlen(text)), "text.xml", nullptr, 0);
}

Record readUser(xmlDocPtr doc, xmlNodePtr cur)
{
    Record r;
    for (xmlNodePtr n = cur->children; n != nullptr; n = n->next) {
        const xmlChar* name = n->name;
        if (!xmlStrcmp(name, BAD_CAST "name"))
            take(doc, n, r.name);
        else if (!xmlStrcmp(name, BAD_CAST "command"))
            take(doc, n, r.command);
        else if (!xmlStrcmp(name, BAD_CAST "presence"))
            take(doc, n, r.presence);
        else if (!xmlStrcmp(name, BAD_CAST "probability"))
            take(doc, n, r.probability);
    }
    return r;
}

MessageRead readUsers(const char* text)
{
    MessageRead out;
    xmlSetGenericErrorFunc(nullptr, parserDiagnostic);
    Doc doc(readMessage(text));
    if (!doc) {
        out.rejection = "Error: Document not parsed successfully.\n";
        return out;
    }
    xmlNodePtr app = xmlDocGetRootElement(doc.get());
    xmlNodePtr appname = app ? app->children : nullptr;
    xmlNodePtr cur = appname ? appname->next : nullptr;
    if (cur == nullptr) {
        out.rejection = "Error: Empty document.\n";
        return out;
    }
    if (xmlStrcmp(cur->name, BAD_CAST "users")) {
        out.rejection =
            "Error: Document of the wrong type node: " + nodeName(cur->name) + " != users.\n";
        return out;
    }
    for (xmlNodePtr n = cur->children; n != nullptr; n = n->next)
        if (!xmlStrcmp(n->name, BAD_CAST "user"))
            out.records.push_back(readUser(doc.get(), n));
    return out;
}
